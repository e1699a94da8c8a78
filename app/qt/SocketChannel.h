// SPDX-License-Identifier: MIT
// SocketChannel: the socket service's notification channel inside Qt's event loop.
//
// One QSocketNotifier watches MSocketSupport::ChannelFd() and calls ProcessPending() whenever it
// is readable, so every socket event is handled on the UI thread between Qt's own events.
// Before Qt's loop blocks, records still queued are announced (a modal dialog opened inside a
// socket handler runs a nested loop while the outer drain waits).
#pragma once

#include <QObject>

class QSocketNotifier;

namespace packwarden {

class SocketChannel final : public QObject {
    Q_OBJECT
  public:
    // The one channel of the process, created on first use as a child of the application
    // object. The socket service must be started first (CSocket::Create does that).
    static SocketChannel& Instance();

  signals:
    // After every drain of the channel: the records queued then have been dispatched.
    void Dispatched();

  private:
    explicit SocketChannel(QObject* parent);
    void Drain();

    QSocketNotifier* notifier_ = nullptr;
};

}  // namespace packwarden
