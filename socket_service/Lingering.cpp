// SPDX-License-Identifier: MIT
// Closing without loss: the descriptors an object let go of while the connection still owed or
// held bytes, finished here.
#include "Lingering.h"

#include <algorithm>
#include <vector>

#include "Backend.h"
#include "ServiceState.h"

namespace packwarden::MSocketSupport {

namespace detail {

namespace {

constexpr int32_t SendDirection = 1;
constexpr int32_t SocketLevel = 0xFFFF;
constexpr int32_t LingerOption = 0x0080;  // with 0: the close resets the connection
constexpr std::size_t DiscardAreaSize = 64 * 1024;
// Reads per turn, so a peer that keeps sending does not hold the loop; the rest is read on a
// record posted for the next round.
constexpr int ReadsPerTurn = 16;

char* DiscardArea() {
    thread_local const std::unique_ptr<char[]> area =
        std::make_unique_for_overwrite<char[]>(DiscardAreaSize);
    return area.get();
}

}  // namespace

LingeringClose::LingeringClose(int32_t handle, std::string unsent, bool sendingShutDown)
    : handle_(handle),
      unsent_(std::move(unsent)),
      shutDown_(sendingShutDown),
      lastProgress_(Clock::now()),
      handedOver_(lastProgress_) {
    Platform::BytesAcknowledged(handle_, &acknowledged_);
}

LingeringClose::Clock::time_point LingeringClose::Deadline(
    std::chrono::milliseconds timeout, std::chrono::milliseconds lifetime) const {
    return std::min(lastProgress_ + timeout, handedOver_ + lifetime);
}

bool LingeringClose::PeerAcknowledged(Clock::time_point now) {
    uint64_t acknowledged = 0;
    if (finished_ || !Platform::BytesAcknowledged(handle_, &acknowledged) ||
        acknowledged == acknowledged_) {
        return false;
    }
    acknowledged_ = acknowledged;
    lastProgress_ = now;
    return true;
}

bool LingeringClose::Delivered() const {
    // Once sending is shut down, the end of the stream counts as one byte more, which the peer
    // may acknowledge late; every byte before it is then acknowledged.
    uint64_t unacknowledged = 0;
    return sent_ == unsent_.size() && !(Platform::BytesUnacknowledged(handle_, &unacknowledged) &&
                                        unacknowledged > (shutDown_ ? 1u : 0u));
}

void LingeringClose::PostSocketEvent(int32_t /*eventCode*/, int32_t errorCode) {
    if (errorCode > 0) {
        Finish();  // reset or broken: nothing more can be delivered
        return;
    }
    Progress();
}

void LingeringClose::Progress() {
    if (finished_) {
        return;
    }
    const auto now = Clock::now();
    while (sent_ < unsent_.size()) {
        const int32_t n = Platform::send(handle_, unsent_.data() + sent_, unsent_.size() - sent_);
        if (n < 0) {
            if (Platform::LastPlatformError() == WsaEWouldBlock) {
                break;  // FD_WRITE follows when the socket can take more
            }
            Finish();
            return;
        }
        sent_ += static_cast<std::size_t>(n);
        lastProgress_ = now;
    }
    const bool allSent = sent_ == unsent_.size();
    if (allSent && !unsent_.empty()) {
        std::string().swap(unsent_);  // the memory goes as soon as the bytes have
        sent_ = 0;
    }
    if (allSent && !shutDown_) {
        // The peer sees the end of our stream behind the last byte.
        Platform::shutdown(handle_, SendDirection);
        shutDown_ = true;
    }
    // Unread data at close would make the close a reset: read everything the peer still sends.
    for (int reads = 0; !peerClosed_; ++reads) {
        if (reads == ReadsPerTurn) {
            PostSocketRecord(handle_, FD_READ);
            break;
        }
        const int32_t n = Platform::recv(handle_, DiscardArea(), DiscardAreaSize);
        if (n > 0) {
            lastProgress_ = now;
        } else if (n == 0) {
            peerClosed_ = true;
        } else if (Platform::LastPlatformError() == WsaEWouldBlock) {
            break;
        } else {
            Finish();
            return;
        }
    }
    if (peerClosed_ && allSent) {
        Finish();
    }
}

void LingeringClose::Finish(bool abortive) {
    if (finished_) {
        return;
    }
    finished_ = true;
    auto& st = State();
    backend::StopEvents(handle_);
    if (abortive) {
        Platform::setsockopt(handle_, SocketLevel, LingerOption, 0);
    }
    Platform::closesocket(handle_);
    // The caller holds a reference of its own (the dispatch's, or the expiry's list).
    st.closing.erase(handle_);
    if (!st.sockets.Present() && st.closing.empty()) {
        DestroySocketWindow();
        if (st.releaseAfterCloses) {
            st.releaseAfterCloses = false;
            ReleaseService();
        }
    }
}

void ExpireLingeringCloses() {
    auto& st = State();
    const auto now = LingeringClose::Clock::now();
    std::vector<std::shared_ptr<LingeringClose>> due;
    std::vector<std::shared_ptr<LingeringClose>> ended;
    auto next = LingeringClose::Clock::time_point::max();
    for (const auto& [handle, close] : st.closing) {
        if (close->HandedOver() + st.closeLifetime <= now) {
            ended.push_back(close);  // whatever the peer does: it has had its time
            continue;
        }
        // Quiet on the socket is not quiet at the peer: bytes the kernel sent from its
        // buffer, and the peer acknowledged, are progress too.
        if (close->LastProgress() + st.closeTimeout <= now && !close->PeerAcknowledged(now)) {
            due.push_back(close);
            continue;
        }
        next = std::min(next, close->Deadline(st.closeTimeout, st.closeLifetime));
    }
    for (const auto& close : due) {
        close->Finish();
    }
    for (const auto& close : ended) {
        close->Finish(/*abortive=*/true);
    }
    if (next != LingeringClose::Clock::time_point::max()) {
        backend::WakeAt(next);
    }
}

}  // namespace detail

bool HandOverClose(int32_t socketHandle, std::string unsent, bool sendingShutDown) {
    auto& st = detail::State();
    if (!st.sockets.Contains(socketHandle) || st.closing.contains(socketHandle)) {
        return false;
    }
    // At the cap the oldest goes first (while this handle still keeps the window alive), one
    // whose peer has every byte before one still delivering.
    while (st.closing.size() >= st.maxPendingCloses &&
           (AbortOldestPendingClose(/*onlyIdle=*/true) || AbortOldestPendingClose())) {
    }
    // The channel goes on watching the handle; only its addressee changes.
    st.sockets.Remove(socketHandle);
    auto close =
        std::make_shared<detail::LingeringClose>(socketHandle, std::move(unsent), sendingShutDown);
    st.closing.emplace(socketHandle, close);
    detail::backend::WakeAt(close->Deadline(st.closeTimeout, st.closeLifetime));
    close->Progress();
    return true;
}

std::size_t PendingCloseCount() {
    return detail::State().closing.size();
}

bool AbortOldestPendingClose(bool onlyIdle) {
    auto& st = detail::State();
    std::shared_ptr<detail::LingeringClose> oldest;
    for (const auto& [handle, close] : st.closing) {
        if ((!oldest || close->HandedOver() < oldest->HandedOver()) &&
            (!onlyIdle || close->Delivered())) {
            oldest = close;
        }
    }
    if (!oldest) {
        return false;
    }
    oldest->Finish(/*abortive=*/true);
    return true;
}

void SetCloseLifetime(std::chrono::milliseconds lifetime) {
    detail::State().closeLifetime = std::max(lifetime, std::chrono::milliseconds(1));
}

std::chrono::milliseconds CloseLifetime() {
    return detail::State().closeLifetime;
}

void SetMaxPendingCloses(std::size_t count) {
    detail::State().maxPendingCloses = std::max<std::size_t>(count, 1);
}

std::size_t MaxPendingCloses() {
    return detail::State().maxPendingCloses;
}

bool FinishPendingCloses(std::chrono::milliseconds timeout) {
    return RunUntil([] { return detail::State().closing.empty(); }, timeout);
}

void SetCloseTimeout(std::chrono::milliseconds timeout) {
    detail::State().closeTimeout = std::max(timeout, std::chrono::milliseconds(1));
}

std::chrono::milliseconds CloseTimeout() {
    return detail::State().closeTimeout;
}

}  // namespace packwarden::MSocketSupport
