// SPDX-License-Identifier: MIT
// The socket channel inside Qt's loop: a record a handler posts before it opens a modal loop
// reaches that loop (the outer drain cannot dispatch it until the handler returns).
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <QApplication>
#include <QEventLoop>
#include <QTimer>
#include <functional>
#include <memory>

#include "QtTestSupport.h"
#include "packwarden/MSocketSupport.h"
#include "packwarden/detail/Platform.h"
#include "packwarden/detail/Registries.h"
#include "qt/SocketChannel.h"

namespace {

namespace ms = MSocketSupport;

class Sink final : public ms::SocketEventSink {
  public:
    std::function<void(int32_t)> onEvent;
    void PostSocketEvent(int32_t eventCode, int32_t) override { onEvent(eventCode); }
    void PostGetHostEvent(int32_t, const ms::Platform::Address*, std::size_t, std::string&,
                          int32_t&) override {}
};

TEST(SocketChannelInQt, RecordPostedBeforeAModalLoopIsDispatchedInsideIt) {
    packwarden::testsupport::EnsureApplication();
    ms::InitWinsockService();
    packwarden::SocketChannel::Instance();
    auto sink = std::make_shared<Sink>();
    const int fd = ms::Platform::socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(ms::RegisterSocket(fd, sink));

    bool writeInsideModal = false;
    bool modalEndedByGuard = false;
    bool outerDone = false;
    QEventLoop outer;
    QEventLoop* modal = nullptr;
    sink->onEvent = [&](int32_t code) {
        if (code == ms::FD_WRITE && modal != nullptr) {
            writeInsideModal = true;
            modal->quit();
            return;
        }
        if (code != ms::FD_OOB) {
            return;
        }
        ms::PostChannelRecord(ms::SocketWindow(), ms::WinsockMessage(), fd, ms::FD_WRITE);
        // A modal loop opened inside the handler, bounded by its own guard.
        QEventLoop loop;
        QTimer guard;
        guard.setSingleShot(true);
        QObject::connect(&guard, &QTimer::timeout, &loop, [&] {
            modalEndedByGuard = true;
            loop.quit();
        });
        guard.start(5000);
        modal = &loop;
        loop.exec();
        modal = nullptr;
        outerDone = true;
        outer.quit();
    };
    // The FD_WRITE a fresh datagram socket gets comes first; then ours.
    ASSERT_TRUE(ms::PostChannelRecord(ms::SocketWindow(), ms::WinsockMessage(), fd, ms::FD_OOB));
    QTimer::singleShot(10000, &outer, &QEventLoop::quit);
    outer.exec();

    EXPECT_TRUE(outerDone);
    EXPECT_TRUE(writeInsideModal);
    EXPECT_FALSE(modalEndedByGuard);
    sink->onEvent = [](int32_t) {};
    ms::DeregisterSocket(fd);
    ms::Platform::closesocket(fd);
}

}  // namespace
