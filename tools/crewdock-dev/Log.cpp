// SPDX-License-Identifier: MIT
#include "Log.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <ctime>

#include "FormCoding.h"

namespace crewdock {

namespace {

// Room always kept for the line that reports drops.
constexpr std::size_t kNoticeRoom = 160;

}  // namespace

std::string TimeStamp() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    tm utc{};
    ::gmtime_r(&now.tv_sec, &utc);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  now.tv_nsec / 1000000);
    return text;
}

RequestLog::RequestLog(int fd, std::size_t maxQueued)
    : fd_(fd), maxQueued_(std::max(maxQueued, kNoticeRoom + kMaxLineBytes)) {
    struct stat info {};
    if (::fstat(fd, &info) != 0 || S_ISREG(info.st_mode) || S_ISBLK(info.st_mode)) {
        return;  // files take what is written without waiting for anyone
    }
    if (S_ISSOCK(info.st_mode)) {
        socket_ = true;
        return;
    }
    // A pipe or a terminal: a descriptor of our own, opened anew, carries O_NONBLOCK without
    // changing the one we share with the shell or the reader's side.
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    ownFd_ = ::open(self.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (ownFd_ >= 0) {
        fd_ = ownFd_;
    } else {
        pollFirst_ = true;
    }
}

RequestLog::~RequestLog() {
    if (ownFd_ >= 0) {
        ::close(ownFd_);
    }
}

void RequestLog::Line(std::string_view text) {
    Enqueue(text, true);
}

void RequestLog::Plain(std::string_view text) {
    Enqueue(text, false);
}

void RequestLog::Enqueue(std::string_view text, bool stamped) {
    std::string line;
    if (stamped) {
        line = TimeStamp() + ' ';
    }
    line += Excerpt(text, kMaxLineBytes);
    line += '\n';
    Flush();
    if (queued() + line.size() + kNoticeRoom > maxQueued_) {
        ++dropped_;
        ++unreported_;
        return;
    }
    if (head_ > 0 && head_ >= queue_.size() / 2) {
        queue_.erase(0, head_);  // each byte moves at most once more
        head_ = 0;
    }
    queue_ += line;
    Flush();
}

long RequestLog::Write(const char* data, std::size_t n) {
    if (pollFirst_) {
        pollfd p{fd_, POLLOUT, 0};
        if (::poll(&p, 1, 0) < 0 || (p.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
            return -1;  // the reader has gone
        }
        if ((p.revents & POLLOUT) == 0) {
            return 0;
        }
        n = std::min<std::size_t>(n, PIPE_BUF);  // what a pipe with room takes without waiting
    }
    for (;;) {
        const ssize_t w =
            socket_ ? ::send(fd_, data, n, MSG_DONTWAIT | MSG_NOSIGNAL) : ::write(fd_, data, n);
        if (w >= 0) {
            return w;
        }
        if (errno == EINTR) {
            continue;
        }
        return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
    }
}

void RequestLog::Flush() {
    for (;;) {
        if (queued() == 0 && unreported_ > 0) {
            // The output took everything that waited: say what it missed, then go on.
            queue_.clear();
            head_ = 0;
            queue_ = TimeStamp() + " crewdock-dev: " + std::to_string(unreported_) +
                     " log lines dropped: the output did not take them\n";
            unreported_ = 0;
        }
        if (queued() == 0) {
            queue_.clear();
            head_ = 0;
            return;
        }
        // A line at a time: a pipe takes each whole or not at all.
        const std::size_t end = queue_.find('\n', head_);
        const std::size_t length = (end == std::string::npos ? queue_.size() : end + 1) - head_;
        const long w = Write(queue_.data() + head_, length);
        if (w < 0) {
            // The output is gone (its reader closed it): nothing will ever be taken.
            const auto lines =
                std::count(queue_.begin() + static_cast<long>(head_), queue_.end(), '\n');
            dropped_ += static_cast<uint64_t>(lines);
            queue_.clear();
            head_ = 0;
            unreported_ = 0;
            return;
        }
        if (w == 0) {
            return;
        }
        head_ += static_cast<std::size_t>(w);
    }
}

}  // namespace crewdock
