// SPDX-License-Identifier: MIT
// The socket component inside Qt's event loop (QCoreApplication here; a QApplication is the
// same): one QSocketNotifier on MSocketSupport::ChannelFd() drains the channel, and the event
// dispatcher's aboutToBlock announces records that a handler queued while it ran a loop of its
// own (a modal dialog, QEventLoop::exec) so that they wake the notifier.
//
//   qt_loop [PORT]   a UDP responder on 127.0.0.1:PORT (7010 unless given) and a sender,
//                    served by Qt's loop, with a QTimer as the time limit (10 s); exit status 0
//                    when the reply arrived
#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "packwarden/CSocket.h"

using packwarden::CSocket;

struct Echo : packwarden::CSocketEvents {
    std::shared_ptr<CSocket> sock = CSocket::Create();
    void OnDataArrival(int32_t) override {
        packwarden::Variant datagram;
        sock->GetData(datagram);
        sock->SendData(datagram);  // back to its sender
    }
};

struct Sender : packwarden::CSocketEvents {
    std::shared_ptr<CSocket> sock = CSocket::Create();
    std::string reply;
    void OnDataArrival(int32_t) override {
        packwarden::Variant datagram;
        sock->GetData(datagram);
        reply = datagram.AsString();
        QCoreApplication::exit(0);
    }
    void OnError(int16_t, std::string& text, int32_t, const std::string&, const std::string&,
                 int32_t, bool&) override {
        std::fprintf(stderr, "qt_loop: %s\n", text.c_str());
        QCoreApplication::exit(1);
    }
};

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int32_t port = argc > 1 ? std::atoi(argv[1]) : 7010;

    // The embedding: these two connections are all a Qt program needs.
    QSocketNotifier channel(MSocketSupport::ChannelFd(), QSocketNotifier::Read);
    QObject::connect(&channel, &QSocketNotifier::activated,
                     [] { MSocketSupport::ProcessPending(); });
    QObject::connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::aboutToBlock,
                     [] { MSocketSupport::AnnouncePending(); });

    try {
        Echo echo;
        echo.sock->SetOwner(&echo);
        echo.sock->Protocol(packwarden::ProtocolUdp);
        echo.sock->Bind(port, "127.0.0.1");

        Sender sender;
        sender.sock->SetOwner(&sender);
        sender.sock->Protocol(packwarden::ProtocolUdp);
        sender.sock->RemoteHost("127.0.0.1");
        sender.sock->RemotePort(port);
        sender.sock->SendData("hello from Qt's loop");

        QTimer::singleShot(10000, [] {
            std::fprintf(stderr, "qt_loop: no reply within 10 s\n");
            QCoreApplication::exit(1);
        });
        const int status = app.exec();
        std::printf("reply: %s\n", sender.reply.c_str());
        return status;
    } catch (const MSocketSupport::SocketError& error) {
        std::fprintf(stderr, "qt_loop: %s (%d)\n", error.what(), error.Number);
        return 1;
    }
}
