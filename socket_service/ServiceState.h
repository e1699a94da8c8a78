// The module's process-wide state, shared by the service's source files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Channel.h"
#include "Lingering.h"
#include "Resolver.h"
#include "Tables.h"
#include "packwarden/MSocketSupport.h"

namespace MSocketSupport::detail {

struct ServiceState {
    ServiceState() : resolver(channel.WakeFd()) {}

    bool started = false;
    int32_t maxDatagramSize = 0;
    uint32_t winsockMessage = 0;
    uint32_t resolveMessage = 0;

    int32_t window = 0;
    int32_t lastWindow = 0;
    // The window's destruction waits for outstanding lookups, so each one completes.
    bool retireWhenIdle = false;
    WindowProc previousProc;

    SocketTable sockets;
    LookupTable lookups;
    // Connections their objects let go of, until their close is clean (HandOverClose).
    LingeringTable closing;
    std::chrono::milliseconds closeTimeout{30000};
    // The last object went while closes were under way: release the service after them.
    bool releaseAfterCloses = false;
    std::vector<Resolver::Completion> completions;

    Channel channel;
    // Last, so that it is destroyed first: the worker is joined while the rest still exists.
    Resolver resolver;
};

ServiceState& State();

// The numbers of the two record kinds, the same for a name for the life of the process.
uint32_t RegisterMessageName(const std::string& name);
std::string ProgramName();

std::string StartupFailureText(int32_t code);
void RecordError(int32_t number, const char* source);
// Destroys a window whose destruction waited for the last lookup.
void RetireWindowIfIdle();

}  // namespace MSocketSupport::detail
