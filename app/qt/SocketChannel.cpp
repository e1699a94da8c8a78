// SPDX-License-Identifier: MIT
#include "qt/SocketChannel.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QPointer>
#include <QSocketNotifier>

#include "packwarden/MSocketSupport.h"

namespace packwarden {

SocketChannel& SocketChannel::Instance() {
    static QPointer<SocketChannel> channel;
    if (channel.isNull()) {
        channel = new SocketChannel(QCoreApplication::instance());
    }
    return *channel;
}

SocketChannel::SocketChannel(QObject* parent) : QObject(parent) {
    const int fd = MSocketSupport::ChannelFd();
    if (fd >= 0) {
        notifier_ = new QSocketNotifier(fd, QSocketNotifier::Read, this);
        connect(notifier_, &QSocketNotifier::activated, this, &SocketChannel::Drain);
    }
    // A handler that opens a modal dialog runs Qt's loop inside a drain: records it posted
    // before must still wake that loop.
    if (auto* dispatcher = QAbstractEventDispatcher::instance(thread())) {
        connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, this,
                [] { MSocketSupport::AnnouncePending(); });
    }
}

void SocketChannel::Drain() {
    MSocketSupport::ProcessPending();
    emit Dispatched();
}

}  // namespace packwarden
