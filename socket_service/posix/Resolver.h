// SPDX-License-Identifier: MIT
// Host lookups on one worker thread.
//
// The worker performs the blocking lookup of both families into the lookup's own result (see
// LookupBuffer) and hands back only {task, error}; the result is read on the channel's thread
// once the completion has been taken from here.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
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
    explicit Resolver(int wakeFd) : shared_(std::make_shared<Shared>(wakeFd)) {}
    Resolver(const Resolver&) = delete;
    Resolver& operator=(const Resolver&) = delete;
    // Drops lookups not yet started and abandons the one under way: a lookup may take as
    // long as the network's time-outs, and nothing may hold the process's exit for it. The
    // worker finishes on its own, touching only what it shares with this object.
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
        std::function<int32_t(const std::string&)> replacement;  // the test hook, if set
    };

    // What the worker uses, kept alive by the worker itself after the resolver has gone.
    struct Shared {
        explicit Shared(int fd) : wakeFd(fd) {}
        int wakeFd;  // written only while not stopping, under the lock
        std::mutex mutex;
        std::condition_variable wanted;
        std::deque<Job> jobs;
        std::vector<Completion> done;
        // done.size(), readable without the lock.
        std::atomic<std::size_t> finished{0};
        bool stopping = false;
        bool started = false;
    };

    static void Run(const std::shared_ptr<Shared>& shared);

    std::shared_ptr<Shared> shared_;
};

}  // namespace packwarden::MSocketSupport::detail
