// SPDX-License-Identifier: MIT
// What the peer has acknowledged, from the kernel's own counts. Apart from Platform.cpp: the
// kernel's tcp_info (with tcpi_bytes_acked) and the C library's cannot share a file.
#include <linux/sockios.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cstddef>

#include "packwarden/detail/Platform.h"

namespace packwarden::MSocketSupport::Platform {

// tcpi_bytes_acked is a count that only grows, whatever is added to the send buffer
// meanwhile, where SIOCOUTQ falling would have to be set against what was added. A count of
// bytes handed over would move only when the buffer has room again, which a buffer of
// megabytes draining to a slow reader gives seldom.
bool BytesAcknowledged(int32_t handle, uint64_t* count) {
    tcp_info info{};
    socklen_t len = sizeof info;
    if (::getsockopt(handle, IPPROTO_TCP, TCP_INFO, &info, &len) != 0 ||
        len < offsetof(tcp_info, tcpi_bytes_acked) + sizeof info.tcpi_bytes_acked) {
        return false;
    }
    *count = info.tcpi_bytes_acked;
    return true;
}

bool BytesUnacknowledged(int32_t handle, uint64_t* count) {
    int queued = 0;  // SIOCOUTQ: unsent and sent-but-unacknowledged bytes together
    if (::ioctl(handle, SIOCOUTQ, &queued) != 0 || queued < 0) {
        return false;
    }
    *count = static_cast<uint64_t>(queued);
    return true;
}

}  // namespace packwarden::MSocketSupport::Platform
