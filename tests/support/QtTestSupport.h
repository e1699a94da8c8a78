// SPDX-License-Identifier: MIT
// Qt pieces shared by the tests that drive real widgets: the process's application object and
// a bounded wait that keeps Qt's event loop (and with it the socket channel) running.
#pragma once

#include <QApplication>
#include <QEventLoop>
#include <QTimer>
#include <chrono>
#include <functional>
#include <iostream>
#include <sstream>
#include <string>

namespace packwarden::testsupport {

// Makes the process's QApplication once, on the offscreen platform unless QT_QPA_PLATFORM
// names another; it lives for the process.
inline void EnsureApplication() {
    if (QApplication::instance() != nullptr) {
        return;
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    static int argc = 1;
    static char name[] = "packwarden_tests";
    static char* argv[] = {name, nullptr};
    new QApplication(argc, argv);  // owned by Qt for the rest of the process
}

// Runs Qt's event loop until `done` holds or `limit` passes; returns done().
inline bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    if (done()) {
        return true;
    }
    QEventLoop loop;
    QTimer tick;
    QTimer deadline;
    QObject::connect(&tick, &QTimer::timeout, &loop, [&] {
        if (done()) {
            loop.quit();
        }
    });
    QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
    deadline.setSingleShot(true);
    tick.start(10);
    deadline.start(limit);
    loop.exec();
    return done();
}

// What the window writes to standard error (std::cerr) while this lives.
class CapturedStderr {
  public:
    CapturedStderr() : saved_(std::cerr.rdbuf(captured_.rdbuf())) {}
    ~CapturedStderr() { std::cerr.rdbuf(saved_); }
    CapturedStderr(const CapturedStderr&) = delete;
    CapturedStderr& operator=(const CapturedStderr&) = delete;
    std::string text() const { return captured_.str(); }

  private:
    std::ostringstream captured_;
    std::streambuf* saved_;
};

}  // namespace packwarden::testsupport
