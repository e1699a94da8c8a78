// SPDX-License-Identifier: MIT
// A thousand secure connections in a row to a secure listener of our own, each handshaking,
// exchanging a few bytes and closing: the process ends with the descriptors it started with and
// its memory flat. Certificates as for the TLS suites (make_tls_pki.sh, run for the test).
#include <gtest/gtest.h>

#ifndef _WIN32
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "Support.h"
#include "TempDir.h"
#include "packwarden/detail/Registries.h"

namespace packwarden::reliability {
namespace {

// The listener's side: every connection accepted into a fresh object that echoes what arrives
// and closes when the client has closed.
class EchoServer {
  public:
    explicit EchoServer(const std::string& folder) {
        listener_->Secure(true);
        listener_->SetCertificate(folder + "/chain.pem", folder + "/server.key");
        listener_->Bind(port_, "127.0.0.1");
        listener_->Listen();
        owner_.onConnectionRequest = [this](int32_t id) {
            auto s = CSocket::Create();
            auto owner = std::make_unique<RecordingOwner>(s);
            owner->onDataArrival = [w = std::weak_ptr<CSocket>(s)](int32_t) {
                Variant v;
                w.lock()->GetData(v);
                w.lock()->SendData(v);
            };
            owner->onClose = [w = std::weak_ptr<CSocket>(s)] { w.lock()->CloseSocket(); };
            s->Accept(id);
            accepted_.push_back(std::move(s));
            owners_.push_back(std::move(owner));
        };
    }
    uint16_t port() const { return port_; }
    bool AllClosed() const {
        for (const auto& o : owners_) {
            if (!o->Has("Close")) {
                return false;
            }
        }
        return true;
    }
    bool AnyError() const {
        for (const auto& o : owners_) {
            if (o->Has("Error")) {
                return true;
            }
        }
        return false;
    }
    std::size_t Count() const { return accepted_.size(); }
    // Drops the connections, and what the listener's owner recorded of them (which would
    // otherwise grow by an event a connection).
    void Forget() {
        owners_.clear();
        accepted_.clear();
        owner_.events.clear();
        owner_.requests.clear();
    }

  private:
    uint16_t port_ = FreePort();
    std::shared_ptr<CSocket> listener_ = CSocket::Create();
    RecordingOwner owner_{listener_};
    std::vector<std::shared_ptr<CSocket>> accepted_;
    std::vector<std::unique_ptr<RecordingOwner>> owners_;
};

// One cycle: connect and verify the server, a few bytes there and back, close from the client's
// side, each end seeing the other's close.
void Cycle(EchoServer& server) {
    RecordingOwner owner(CSocket::Create(), RecordingOwner::Holds);
    std::string echoed;
    owner.onDataArrival = [&](int32_t) {
        Variant v;
        owner.socket().GetData(v, vbString);
        echoed += v.AsString();
    };
    owner.socket().Secure(true);
    owner.socket().Connect(Variant("127.0.0.1"), Variant(int32_t{server.port()}));
    ASSERT_TRUE(RunUntil([&] { return owner.Has("Connect") || owner.Has("Error"); }));
    ASSERT_TRUE(owner.Has("Connect")) << owner.lastErrorDescription;
    owner.socket().SendData(std::string("ping?"));
    ASSERT_TRUE(RunUntil([&] { return echoed.size() >= 5 || owner.Has("Error"); }));
    ASSERT_EQ(echoed, "ping?");
    owner.socket().CloseSocket();
    ASSERT_TRUE(RunUntil([&] { return owner.Has("Close") && server.AllClosed(); }));
    EXPECT_FALSE(owner.Has("Error")) << owner.lastErrorDescription;
    EXPECT_FALSE(server.AnyError());
    ASSERT_EQ(server.Count(), 1u);
    ASSERT_EQ(owner.socket().SocketHandle(), -1);
    server.Forget();
}

TEST(TlsCycles, ThousandHandshakesInARowKeepDescriptorsAndMemoryFlat) {
    TempDir dir("packwarden-tls-cycles-");
    const std::string folder = dir.str();
    ASSERT_EQ(std::system(("sh '" PACKWARDEN_TLS_PKI_SCRIPT "' '" + folder + "' >'" + folder +
                           "/make.log' 2>&1")
                              .c_str()),
              0)
        << "no certificates: see make.log";
    // Only the test authority is trusted; the folder holds no hashed certificates.
    ScopedEnv file("SSL_CERT_FILE", folder + "/ca.pem");
    ScopedEnv directory("SSL_CERT_DIR", folder);
    EchoServer server(folder);
    for (int i = 0; i < 100; ++i) {  // warm-up: allocator pools, the contexts, the library
        ASSERT_NO_FATAL_FAILURE(Cycle(server)) << "warm-up cycle " << i;
    }
    const std::size_t descriptors = OpenDescriptorCount();
    const std::size_t registered = MSocketSupport::SocketRegistryCount();  // the listener
    const auto window = MSocketSupport::SocketWindow();
    const long before = ResidentKiB();
    // Memory is read after the first half too: what the library or ours kept per connection (a
    // session cache, say) would show as growth over the second half. Under Valgrind, where
    // memory is not measured and the library runs some fifty times slower, a tenth of them.
    const int cycles = UnderValgrind() ? 100 : 1000;
    long half = 0;
    for (int i = 0; i < cycles; ++i) {
        ASSERT_NO_FATAL_FAILURE(Cycle(server)) << "cycle " << i;
        if (i == cycles / 2 - 1) {
            half = ResidentKiB();
        }
    }
    const long end = ResidentKiB();
    // The closes handed to the service finish on their own.
    EXPECT_TRUE(RunUntil([&] { return OpenDescriptorCount() == descriptors; }))
        << OpenDescriptorCount() << " descriptors open, " << descriptors << " before";
    EXPECT_EQ(MSocketSupport::SocketRegistryCount(), registered);
    EXPECT_EQ(MSocketSupport::SocketWindow(), window);
    RecordProperty("rss_growth_kib", std::to_string(end - before));
    RecordProperty("rss_growth_kib_second_half", std::to_string(end - half));
    if (MemoryIsMeasurable && !UnderValgrind()) {
        // Anything kept per connection of the size of a session or a buffer (a few hundred
        // bytes and up) shows over the second half: it grows by some 10 KiB without.
        EXPECT_LT(end - half, 128) << "VmRSS grew from " << half << " to " << end;
        EXPECT_LT(end - before, 1024) << "VmRSS grew from " << before << " to " << end;
    }
}

}  // namespace
}  // namespace packwarden::reliability
#endif
