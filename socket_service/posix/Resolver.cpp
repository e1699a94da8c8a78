// SPDX-License-Identifier: MIT
#include "Resolver.h"

#include <netdb.h>
#include <unistd.h>

#include <system_error>

#include "SocketAddress.h"
#include "packwarden/SocketErrors.h"
#include "packwarden/detail/TestHooks.h"

namespace packwarden::MSocketSupport::detail {

namespace {

int32_t WinsockFromLookupError(int error) {
    switch (error) {
        case EAI_NONAME:
            return WsaHostNotFound;
        case EAI_AGAIN:
            return WsaTryAgain;
#ifdef EAI_NODATA
        case EAI_NODATA:  // the name exists, without an address
            return WsaNoData;
#endif
#ifdef EAI_ADDRFAMILY
        case EAI_ADDRFAMILY:
            return WsaNoData;
#endif
        case EAI_MEMORY:
            return WsaENoBufs;
        default:
            return WsaNoRecovery;
    }
}

// Frees getaddrinfo's list however the lookup ends.
struct AddressList {
    addrinfo* head = nullptr;
    AddressList() = default;
    AddressList(const AddressList&) = delete;
    AddressList& operator=(const AddressList&) = delete;
    ~AddressList() {
        if (head != nullptr) {
            ::freeaddrinfo(head);
        }
    }
};

}  // namespace

int32_t Resolver::Lookup(const std::string& hostName, LookupBuffer& buffer) {
    if (hostName.empty() || ReservedInvalidName(hostName)) {
        return WsaHostNotFound;
    }
    // Both families, one entry per address (a stream's), with the name the system calls
    // canonical.
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_CANONNAME;
    AddressList list;
    const int rc = ::getaddrinfo(hostName.c_str(), nullptr, &hints, &list.head);
    if (rc != 0) {
        return WinsockFromLookupError(rc);
    }
    FillLookup(list.head, hostName, buffer);
    return buffer.addresses.empty() ? WsaNoData : 0;
}

Resolver::~Resolver() {
    {
        std::lock_guard lock(shared_->mutex);
        shared_->stopping = true;
        shared_->jobs.clear();
    }
    shared_->wanted.notify_all();
}

int32_t Resolver::Start(int32_t task, std::string hostName, std::shared_ptr<LookupBuffer> buffer) {
    std::lock_guard lock(shared_->mutex);
    if (!shared_->started) {
        try {
            // Detached: the exit never waits for a lookup (see ~Resolver).
            std::thread([shared = shared_] { Run(shared); }).detach();
        } catch (const std::system_error&) {
            return WsaENoBufs;
        }
        shared_->started = true;
    }
    shared_->jobs.push_back({task, std::move(hostName), std::move(buffer),
                             MSocketSupport::Platform::TestHooks().lookup});
    shared_->wanted.notify_one();
    return 0;
}

bool Resolver::TakeCompleted(std::vector<Completion>& out) {
    out.clear();
    // Every drain asks; the lock is taken only when a lookup has finished. One that finishes
    // after this look writes the wake-up descriptor, so the next collection asks again.
    if (shared_->finished.load(std::memory_order_acquire) == 0) {
        return false;
    }
    std::lock_guard lock(shared_->mutex);
    out.swap(shared_->done);
    shared_->finished.store(0, std::memory_order_relaxed);
    return !out.empty();
}

void Resolver::Run(const std::shared_ptr<Shared>& shared) {
    std::unique_lock lock(shared->mutex);
    for (;;) {
        shared->wanted.wait(lock, [&] { return shared->stopping || !shared->jobs.empty(); });
        if (shared->stopping) {
            return;
        }
        Job job = std::move(shared->jobs.front());
        shared->jobs.pop_front();
        lock.unlock();
        const int32_t error =
            job.replacement ? job.replacement(job.hostName) : Lookup(job.hostName, *job.buffer);
        job.buffer.reset();
        lock.lock();
        if (shared->stopping) {
            return;  // abandoned: the wake-up descriptor may already be closed, or reused
        }
        shared->done.push_back({job.task, error});
        shared->finished.store(shared->done.size(), std::memory_order_release);
        const uint64_t one = 1;
        [[maybe_unused]] auto written = ::write(shared->wakeFd, &one, sizeof one);
    }
}

}  // namespace packwarden::MSocketSupport::detail
