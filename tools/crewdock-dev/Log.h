// SPDX-License-Identifier: MIT
// The request log: one line per event, each stamped with the time, written without ever waiting
// for the output. Lines the output does not take at once (a pipe nobody reads, a terminal on
// hold) wait in a bounded queue; beyond it whole lines are dropped and counted, and the count
// is written as soon as the output takes lines again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace crewdock {

class RequestLog {
  public:
    static constexpr std::size_t kDefaultQueueBytes = 256 * 1024;
    // Longer texts are cut, so that a whole line fits one atomic pipe write: a reader never
    // sees half a line.
    static constexpr std::size_t kMaxLineBytes = 3968;

    // Writes to `fd` (not owned; standard output, say) through a descriptor of its own that
    // never blocks. The program ignores SIGPIPE, so an output whose reader has gone costs
    // only the lines.
    explicit RequestLog(int fd, std::size_t maxQueued = kDefaultQueueBytes);
    ~RequestLog();
    RequestLog(const RequestLog&) = delete;
    RequestLog& operator=(const RequestLog&) = delete;

    // One line (without its line break), after the time. Cut at kMaxLineBytes.
    void Line(std::string_view text);
    // One line as it is, with no time: the start-up line that scripts read.
    void Plain(std::string_view text);
    // Writes what the output takes now.
    void Flush();

    // Lines wait: the owner watches WaitFd() for writability and then calls Flush().
    bool Pending() const { return queued() > 0 || unreported_ > 0; }
    int WaitFd() const { return fd_; }
    // Lines dropped since the start.
    uint64_t dropped() const { return dropped_; }

  private:
    std::size_t queued() const { return queue_.size() - head_; }
    void Enqueue(std::string_view text, bool stamped);
    // Writes up to `n` bytes; the count taken, 0 when the output is full, -1 when it failed.
    long Write(const char* data, std::size_t n);

    int fd_ = -1;
    int ownFd_ = -1;          // our own non-blocking descriptor, when the output allowed one
    bool socket_ = false;     // the output is a socket: sends that do not wait
    bool pollFirst_ = false;  // no descriptor of our own: ask before each write
    std::size_t maxQueued_;
    std::string queue_;
    std::size_t head_ = 0;  // queue_[head_..] waits
    uint64_t dropped_ = 0;
    uint64_t unreported_ = 0;
};

// The time now as "2025-01-31T12:34:56.789Z".
std::string TimeStamp();

}  // namespace crewdock
