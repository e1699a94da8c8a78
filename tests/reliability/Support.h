// SPDX-License-Identifier: MIT
// Shared pieces of the fault scenarios, beside the common ones in tests/support: a reading of
// the process's memory.
#pragma once

#include "RawPeer.h"
#include "RecordingOwner.h"

#include <gtest/gtest.h>
#ifdef _WIN32
#include <psapi.h>
#endif

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

namespace packwarden::reliability {

// Whether the resident memory measures ours: not under a sanitizer, whose quarantine grows on
// purpose.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool MemoryIsMeasurable = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
inline constexpr bool MemoryIsMeasurable = false;
#else
inline constexpr bool MemoryIsMeasurable = true;
#endif
#else
inline constexpr bool MemoryIsMeasurable = true;
#endif

// Valgrind's own heap and shadow memory live in the process it watches: RSS is its, not ours
// (memcheck's leak check is the measure there).
inline bool UnderValgrind() {
    const char* preload = std::getenv("LD_PRELOAD");
    return preload != nullptr && std::strstr(preload, "vgpreload") != nullptr;
}

using namespace packwarden::testsupport;

// Resident memory in KiB (VmRSS; on Windows the working set).
inline long ResidentKiB() {
#ifdef _WIN32
    PROCESS_MEMORY_COUNTERS counters{};
    if (!::GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof counters)) {
        return -1;
    }
    return static_cast<long>(counters.WorkingSetSize / 1024);
#else
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::stol(line.substr(6));
        }
    }
    return -1;
#endif
}

}  // namespace packwarden::reliability
