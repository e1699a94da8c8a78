// SPDX-License-Identifier: MIT
// Not API: the interface through which the socket service delivers records to a socket object.
// It is installed only because CSocket.h derives from it privately; it may change in any
// release.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace packwarden::MSocketSupport {

struct NetAddress;  // an address of either family (defined in the sources)

// The receiving side of dispatch. The socket object implements it (privately: only the service
// calls these, with an object it found in its tables).

class SocketEventSink {
  public:
    // A network event for the object's handle: an FD_* code and a socket error number (0 = ok).
    virtual void PostSocketEvent(int32_t eventCode, int32_t errorCode) = 0;
    // The same for an object that registered more than one handle: `handle` names the one the
    // event is for. By default, PostSocketEvent.
    virtual void PostHandleEvent(int32_t /*handle*/, int32_t eventCode, int32_t errorCode) {
        PostSocketEvent(eventCode, errorCode);
    }
    // A host lookup finished: the task handle (0 on failure), the host's addresses of both
    // families in the system's order (`count` of them, none on failure), its official name and
    // the error number.
    virtual void PostGetHostEvent(int32_t lookupHandle, const NetAddress* addresses,
                                  std::size_t count, std::string& hostName, int32_t& errorCode) = 0;
    // The time given to SetDeadline has come (see Registries.h).
    virtual void DeadlineReached() {}

  protected:
    ~SocketEventSink() = default;
};

}  // namespace packwarden::MSocketSupport
