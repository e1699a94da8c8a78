// SPDX-License-Identifier: MIT
// Not API: the state a CSocket holds, by value, so that an event costs no allocation and no
// pointer to follow. It is installed only because CSocket.h holds these types; it may change in
// any release.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
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
// one, and an empty queue owns no storage: it is one pointer in every object, a stream's
// included.
class DatagramQueue {
  public:
    bool empty() const { return !queue_ || queue_->head == queue_->lengths.size(); }
    std::size_t front() const { return queue_->lengths[queue_->head]; }
    void push_back(std::size_t length) {
        if (!queue_) {
            queue_ = std::make_unique<Queue>();
        }
        queue_->lengths.push_back(length);
    }
    void pop_front() {
        Queue& q = *queue_;
        if (++q.head == q.lengths.size()) {
            clear();
        } else if (q.head >= 32 && q.head * 2 >= q.lengths.size()) {
            // A queue that never empties does not grow without bound.
            q.lengths.erase(q.lengths.begin(), q.lengths.begin() + static_cast<long>(q.head));
            q.head = 0;
        }
    }
    void clear() { queue_.reset(); }

  private:
    struct Queue {
        std::vector<std::size_t> lengths;
        std::size_t head = 0;
    };
    std::unique_ptr<Queue> queue_;
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
    // The last receive took half a chunk or more: the next one goes straight into the buffer.
    // (Here it fills the padding after the flags above.)
    bool ReceivesLarge = false;
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
