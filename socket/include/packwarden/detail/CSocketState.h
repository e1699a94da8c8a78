// SPDX-License-Identifier: MIT
// Not API: the state a CSocket holds, by value, so that an event costs no allocation and no
// pointer to follow. It is installed only because CSocket.h holds these types; it may change in
// any release.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "packwarden/ByteBuffer.h"

namespace packwarden::detail {

// One frame of the object's own that holds it: an operation under way or the service's
// dispatch. CSocket counts them to tell its own references from its owners' (Abandoned()).
class SelfHold {
  public:
    explicit SelfHold(int32_t& holds) : holds_(holds) { ++holds_; }
    ~SelfHold() { --holds_; }
    SelfHold(const SelfHold&) = delete;
    SelfHold& operator=(const SelfHold&) = delete;

  private:
    int32_t& holds_;
};

// The length of each datagram waiting in the send buffer, oldest first. A stream never has
// one, and an empty queue owns no storage.
class DatagramQueue {
  public:
    bool empty() const { return head_ == lengths_.size(); }
    std::size_t front() const { return lengths_[head_]; }
    void push_back(std::size_t length) { lengths_.push_back(length); }
    void pop_front() {
        if (++head_ == lengths_.size()) {
            clear();
        } else if (head_ >= 32 && head_ * 2 >= lengths_.size()) {
            // A queue that never empties does not grow without bound.
            lengths_.erase(lengths_.begin(), lengths_.begin() + static_cast<long>(head_));
            head_ = 0;
        }
    }
    void clear() {
        lengths_.clear();
        head_ = 0;
    }

  private:
    std::vector<std::size_t> lengths_;
    std::size_t head_ = 0;
};

// What a stream connection has been through, cleared when the handle goes.
struct ConnectionFlags {
    bool sendShutDown = false;      // the sending direction has been shut down
    bool shutdownWhenSent = false;  // CloseSocket waits for the send buffer to empty
    bool readSuspended = false;     // a read notification was left unanswered at the bound
    bool closePending = false;      // the peer's close waits for room in the receive buffer
    bool peerClosed = false;        // the peer's stream has been read to its end
    bool closeAfterSend = false;    // the peer closed while ours was still being sent
};

// The object's properties and buffers. The fields every notification touches come first,
// together, ahead of the texts only connecting and accepting use: at a thousand connections
// each event then touches a few cache lines of the object rather than all of them.
struct CSocketMembers {
    int32_t SocketHandle = -1;
    int32_t Protocol = 0;  // ProtocolTcp
    int32_t State = 0;     // StateClosed
    int32_t BytesReceived = 0;
    int32_t ReceiveChunkSize = 0;
    bool SendPending = false;
    bool IsBound = false;
    bool BroadcastEnabled = false;
    ByteBuffer ReceiveBuffer;
    ByteBuffer SendBuffer;
    int32_t LookupPurpose = 0;  // LookupForConnect
    int32_t LocalPort = 0;
    int32_t RemotePort = 0;
    int32_t LookupHandle = 0;
    int32_t MaxDatagramSize = 0;
    std::string LocalHostName;
    std::string LocalIP;
    std::string RemoteHost;
    std::string RemoteHostIP;
};

}  // namespace packwarden::detail
