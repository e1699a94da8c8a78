// SPDX-License-Identifier: MIT
// Dispatch rate: records posted to the channel for a registered socket and dispatched to its
// object, per second. Records are posted in batches, each batch then dispatched by
// ProcessPending, so the figure covers the post, the queue, the checks and the routing.
#include "BenchSupport.h"
#include "packwarden/detail/Platform.h"
#include "packwarden/detail/Registries.h"

namespace {

using namespace bench;
namespace ms = MSocketSupport;

class CountingSink final : public ms::SocketEventSink {
  public:
    uint64_t events = 0;
    void PostSocketEvent(int32_t, int32_t) override { ++events; }
    void PostGetHostEvent(int32_t, const ms::Platform::Address*, std::size_t, std::string&,
                          int32_t&) override {}
};

double Records(uint64_t total) {
    constexpr int32_t Batch = 1024;
    ms::InitWinsockService();
    auto sink = std::make_shared<CountingSink>();
    const int32_t fd = ms::Platform::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (fd < 0 || !ms::RegisterSocket(fd, sink)) {
        Fail("dispatch: cannot register a socket");
    }
    ms::ProcessPending();  // the FD_WRITE a fresh datagram socket gets
    sink->events = 0;
    const int32_t window = ms::SocketWindow();
    const uint32_t message = ms::WinsockMessage();
    const auto start = Clock::now();
    for (uint64_t posted = 0; posted < total; posted += Batch) {
        for (int32_t i = 0; i < Batch; ++i) {
            // Any code the object ignores would do; the service does not read it.
            ms::PostChannelRecord(window, message, fd, ms::FD_OOB);
        }
        ms::ProcessPending();
    }
    const double s = Seconds(Clock::now() - start);
    if (sink->events != total) {
        Fail("dispatch: " + std::to_string(sink->events) + " of " + std::to_string(total) +
             " records arrived");
    }
    ms::DeregisterSocket(fd);
    ms::Platform::closesocket(fd);
    return static_cast<double>(total) / s;
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = ParseOptions(argc, argv);
    const uint64_t total = options.quick ? (uint64_t{1} << 20) : (uint64_t{1} << 24);
    Peers peers(options);
    peers.Add("csocket", [&] { return Records(total); });
    peers.Run();
    ReportValue(peers, "dispatch_records_per_s", "csocket");
    return 0;
}
