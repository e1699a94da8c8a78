// SPDX-License-Identifier: MIT
// Host lookups on one worker thread.
//
// The worker performs the blocking lookup into the lookup's own 1024-byte buffer (a hostent at
// its start, the strings and address list after it) and hands back only {task, error}; the
// result is read on the channel's thread once the completion has been taken from here.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Backend.h"

namespace packwarden::MSocketSupport::detail {

class Resolver {
  public:
    struct Completion {
        int32_t task;
        int32_t error;  // 0 or a Winsock number
    };

    // `wakeFd` is written once per completion so the channel's descriptor becomes readable.
    explicit Resolver(int wakeFd) : wakeFd_(wakeFd) {}
    Resolver(const Resolver&) = delete;
    Resolver& operator=(const Resolver&) = delete;
    // Drops lookups not yet started and waits for the one under way.
    ~Resolver();

    // Queues a lookup; starts the worker on first use. Returns 0 or a Winsock error number.
    int32_t Start(int32_t task, std::string hostName, std::shared_ptr<LookupBuffer> buffer);
    // Moves the finished lookups into `out` (which is cleared first); false when there were
    // none.
    bool TakeCompleted(std::vector<Completion>& out);

    // The lookup itself, synchronous; exposed for the worker and for tests.
    static int32_t Lookup(const std::string& hostName, LookupBuffer& buffer);

  private:
    struct Job {
        int32_t task;
        std::string hostName;
        std::shared_ptr<LookupBuffer> buffer;
    };

    void Run();

    int wakeFd_;
    std::mutex mutex_;
    std::condition_variable wanted_;
    std::deque<Job> jobs_;
    std::vector<Completion> done_;
    // done_.size(), readable without the lock.
    std::atomic<std::size_t> finished_{0};
    bool stopping_ = false;
    std::thread worker_;
};

}  // namespace packwarden::MSocketSupport::detail
