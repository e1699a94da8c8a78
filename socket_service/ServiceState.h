// SPDX-License-Identifier: MIT
// The module's process-wide state, shared by the service's source files.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>

#include "Lingering.h"
#include "Tables.h"
#include "packwarden/detail/Platform.h"
#include "packwarden/detail/Registries.h"

namespace packwarden::MSocketSupport::detail {

struct Deadline {
    std::weak_ptr<SocketEventSink> object;
    std::chrono::steady_clock::time_point when;
};

struct ServiceState {
    bool started = false;
    // Started by the platform's library (not by a test's stand-in), so released through it.
    bool libraryStarted = false;
    int32_t maxDatagramSize = 0;
    uint32_t winsockMessage = 0;
    uint32_t resolveMessage = 0;

    int32_t window = 0;
    // The window's destruction waits for outstanding lookups, so each one completes.
    bool retireWhenIdle = false;
    WindowProc previousProc;

    SocketTable sockets;
    LookupTable lookups;
    // Connections their objects let go of, until their close is clean (HandOverClose).
    LingeringTable closing;
    std::chrono::milliseconds closeTimeout{30000};
    // Bounds whatever the peer does: a close's whole life, and how many are under way.
    std::chrono::milliseconds closeLifetime{120000};
    std::size_t maxPendingCloses = 1024;
    // Objects' deadlines (SetDeadline), one per object, held weakly like every table here.
    std::unordered_map<const SocketEventSink*, Deadline> deadlines;
    // The last object went while closes were under way: release the service after them.
    bool releaseAfterCloses = false;
};

// Inline, so that the hot paths pay one guard check rather than a call.
inline ServiceState& State() {
    static ServiceState state;
    return state;
}

std::string StartupFailureText(int32_t code);
void RecordError(int32_t number, const char* source);
// Destroys a window whose destruction waited for the last lookup.
void RetireWindowIfIdle();
// Releases the networking library (the last step of CleanupWinsockService).
void ReleaseService();

}  // namespace packwarden::MSocketSupport::detail
