// SPDX-License-Identifier: MIT
// The Wine registry reader on arbitrary system.reg contents: it must never crash, never read
// past its input, never return more than the value buffer holds, and leave the result alone
// whenever it reports failure.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "Module1.h"
#include "posix/WinePrefix.h"

namespace {

std::string prefix;

void Check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

void Lookup(const std::string& key, const std::string& value) {
    const std::string untouched = "\x01untouched";
    std::string result = untouched;
    if (Module1::ReadRegistryValue(Module1::HKEY_LOCAL_MACHINE, key, value, result)) {
        // A text comes back without its zero byte, so it is shorter than the buffer.
        Check(result == untouched || result.size() < Module1::ValueBufferSize,
              "value longer than the buffer");
        if (result != untouched) {
            // The mapping of whatever path was read must hold up too, and a path on a drive
            // never climbs out of it (this prefix has no dosdevices/, so nothing is resolved).
            const std::string mapped = Module1::UnixPathFromWindows(result, prefix);
            if (mapped.rfind(prefix + "/dosdevices/", 0) == 0) {
                Check(mapped.find("/../") == std::string::npos &&
                          mapped.compare(mapped.size() - std::min<std::size_t>(mapped.size(), 3), 3,
                                         "/..") != 0,
                      "a drive path left its drive");
            }
        }
    } else {
        Check(result == untouched, "failed read changed the result");
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char pattern[] = "/tmp/packwarden-regfuzz-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        std::abort();
    }
    prefix = pattern;
    ::setenv("WINEPREFIX", prefix.c_str(), 1);
    std::atexit([] {
        ::unlink((prefix + "/system.reg").c_str());
        ::rmdir(prefix.c_str());
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    {
        std::ofstream out(prefix + "/system.reg", std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    Lookup("software\\activision\\elite force ii", "installpath");
    Lookup("Software\\A", "");
    Lookup("software\\a\\", "@");
    Lookup("Software\\Wow6432Node\\A", "v");
    return 0;
}
