// SPDX-License-Identifier: MIT
// Not API: the interface through which the socket service delivers records to a socket object.
// It is installed only because CSocket.h derives from it privately; it may change in any
// release.
#pragma once

#include <cstdint>
#include <string>

namespace packwarden::MSocketSupport {

// The receiving side of dispatch. The socket object implements it (privately: only the service
// calls these, with an object it found in its tables).

class SocketEventSink {
  public:
    // A network event for the object's handle: an FD_* code and a socket error number (0 = ok).
    virtual void PostSocketEvent(int32_t eventCode, int32_t errorCode) = 0;
    // A host lookup finished: the task handle (0 on failure), the IPv4 address in network byte
    // order as it lies in memory (0 on failure), the official host name and the error number.
    virtual void PostGetHostEvent(int32_t lookupHandle, uint32_t address, std::string& hostName,
                                  int32_t& errorCode) = 0;

  protected:
    ~SocketEventSink() = default;
};

}  // namespace packwarden::MSocketSupport
