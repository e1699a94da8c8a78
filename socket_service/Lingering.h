// SPDX-License-Identifier: MIT
// Closes that the service finishes on an object's behalf (HandOverClose).
//
// A connection an object lets go of may still owe the peer bytes, and the peer may still be
// sending: closing the descriptor at once would throw the first away and, with data unread,
// turn the close into a reset that destroys what the kernel still queues. A LingeringClose
// owns such a descriptor until the close is clean: it writes the bytes left, shuts sending
// down, reads and discards until the peer closes, and gives up after a span without progress
// (bytes the peer acknowledged, or sent) or at the end of its whole life, whichever comes
// first. It receives its notifications through the ordinary dispatch, like any object.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>

#include "packwarden/detail/Platform.h"
#include "packwarden/detail/Registries.h"

namespace packwarden::MSocketSupport::detail {

class LingeringClose final : public SocketEventSink {
  public:
    using Clock = std::chrono::steady_clock;

    LingeringClose(int32_t handle, std::string unsent, bool sendingShutDown);

    void PostSocketEvent(int32_t eventCode, int32_t errorCode) override;
    void PostGetHostEvent(int32_t, const Platform::Address*, std::size_t, std::string&,
                          int32_t&) override {}

    // Moves bytes both ways as far as the socket allows; closes when the close is clean.
    void Progress();
    // Closes the descriptor now (a broken connection, or no progress for too long); with
    // `abortive`, as a reset, so that the system keeps nothing of it either.
    void Finish(bool abortive = false);
    Clock::time_point LastProgress() const { return lastProgress_; }
    Clock::time_point HandedOver() const { return handedOver_; }
    // When it is to be given up, unless it makes progress before then.
    Clock::time_point Deadline(std::chrono::milliseconds timeout,
                               std::chrono::milliseconds lifetime) const;
    // Counts what the peer acknowledged since the last look as progress; true when it moved.
    bool PeerAcknowledged(Clock::time_point now);
    // The peer has every byte: nothing left to send, nothing the system still waits to see
    // acknowledged (where the system cannot tell, nothing left to send). Only its close is
    // awaited.
    bool Delivered() const;

  private:
    const int32_t handle_;
    std::string unsent_;
    std::size_t sent_ = 0;
    bool shutDown_;
    bool peerClosed_ = false;
    bool finished_ = false;
    Clock::time_point lastProgress_;
    const Clock::time_point handedOver_;
    uint64_t acknowledged_ = 0;
};

// The closes under way, by handle. The table owns them; a dispatch holds one for its call.
using LingeringTable = std::unordered_map<int32_t, std::shared_ptr<LingeringClose>>;

// Finishes the closes that have made no progress for the close time-out, or reached the end
// of their life, and sets the wake-up for the next one due. Called when that wake-up fires.
void ExpireLingeringCloses();

}  // namespace packwarden::MSocketSupport::detail
