// SPDX-License-Identifier: MIT
#include "Resolver.h"

#include <netdb.h>
#include <unistd.h>

#include <cerrno>
#include <new>
#include <system_error>

#include "packwarden/SocketErrors.h"
#include "packwarden/detail/TestHooks.h"

namespace packwarden::MSocketSupport::detail {

namespace {

bool EndsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// Names under the reserved "invalid" top-level domain never resolve; answer them without
// asking the network, as the name's reservation intends.
bool ReservedInvalid(std::string name) {
    for (char& c : name) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    if (EndsWith(name, ".")) {
        name.pop_back();
    }
    return name == "invalid" || EndsWith(name, ".invalid");
}

int32_t WinsockFromHostError(int hostError) {
    switch (hostError) {
        case HOST_NOT_FOUND:
            return WsaHostNotFound;
        case TRY_AGAIN:
            return WsaTryAgain;
        case NO_RECOVERY:
            return WsaNoRecovery;
        case NO_DATA:
            return WsaNoData;
        default:
            return WsaNoRecovery;
    }
}

}  // namespace

int32_t Resolver::Lookup(const std::string& hostName, LookupBuffer& buffer) {
    if (hostName.empty() || ReservedInvalid(hostName)) {
        return WsaHostNotFound;
    }
    static_assert(sizeof(hostent) < LookupBufferSize);
    auto* entry = new (buffer.bytes) hostent{};
    char* data = buffer.bytes + sizeof(hostent);
    const std::size_t dataSize = LookupBufferSize - sizeof(hostent);
    hostent* result = nullptr;
    int hostError = 0;
    const int rc = ::gethostbyname_r(hostName.c_str(), entry, data, dataSize, &result, &hostError);
    if (rc == ERANGE) {
        return WsaENoBufs;
    }
    if (rc != 0 || result == nullptr) {
        return WinsockFromHostError(hostError);
    }
    if (result->h_addrtype != AF_INET || result->h_length != 4 || result->h_addr_list == nullptr ||
        result->h_addr_list[0] == nullptr) {
        return WsaNoData;
    }
    return 0;
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
