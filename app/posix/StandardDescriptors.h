// SPDX-License-Identifier: MIT
// Standard input, output and error open before anything else is.
//
// A program started with one of them closed hands that number to the first descriptor it
// creates (a wake-up pipe, a socket), and every later write "to standard output" lands there.
// Opening /dev/null in their place first keeps 0, 1 and 2 what everyone takes them for.
#pragma once

#include <fcntl.h>
#include <unistd.h>

namespace packwarden {

inline void GuardStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) == -1) {
            // open returns the lowest free number: this one.
            const int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
            if (opened != fd && opened != -1) {
                ::close(opened);
            }
        }
    }
}

}  // namespace packwarden
