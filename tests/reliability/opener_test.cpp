// SPDX-License-Identifier: MIT
// The desktop's URL opener receives the session address as one argument, through no shell:
// characters a shell would act on reach it untouched and do nothing. The opener needs a real
// display, so this program starts a private X server (no network listener) of its own.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QEventLoop>
#include <QTimer>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "QtTestSupport.h"
#include "TempDir.h"
#include "qt/Shell.h"

extern char** environ;

namespace packwarden::reliability {
namespace {

using namespace std::chrono_literals;

using packwarden::testsupport::TempDir;
using packwarden::testsupport::WaitFor;

class Opener : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) {
            return;
        }
        // The child keeps the write end across exec to report its display number.
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 3);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        char* argv[] = {const_cast<char*>("Xvfb"),
                        const_cast<char*>("-displayfd"),
                        const_cast<char*>("3"),
                        const_cast<char*>("-nolisten"),
                        const_cast<char*>("tcp"),
                        const_cast<char*>("-screen"),
                        const_cast<char*>("0"),
                        const_cast<char*>("320x240x24"),
                        nullptr};
        const int spawned = ::posix_spawnp(&server_, "Xvfb", &actions, nullptr, argv, environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[1]);
        if (spawned != 0) {
            server_ = 0;
            ::close(fds[0]);
            return;
        }
        std::string display;
        pollfd p{fds[0], POLLIN, 0};
        char buf[32];
        while (display.find('\n') == std::string::npos && ::poll(&p, 1, 10000) == 1) {
            const ssize_t n = ::read(fds[0], buf, sizeof buf);
            if (n <= 0) {
                break;
            }
            display.append(buf, static_cast<std::size_t>(n));
        }
        ::close(fds[0]);
        if (display.find('\n') == std::string::npos) {
            return;
        }
        ::setenv("DISPLAY", (":" + display.substr(0, display.find('\n'))).c_str(), 1);
        ::setenv("QT_QPA_PLATFORM", "xcb", 1);
        static int argc = 1;
        static char name[] = "reliability_opener_tests";
        static char* args[] = {name, nullptr};
        app_ = new QApplication(argc, args);
    }
    static void TearDownTestSuite() {
        delete app_;
        app_ = nullptr;
        if (server_ > 0) {
            ::kill(server_, SIGTERM);
            ::waitpid(server_, nullptr, 0);
        }
    }
    void SetUp() override {
        if (app_ == nullptr) {
            GTEST_SKIP() << "no private X server could be started";
        }
    }

    static inline pid_t server_ = 0;
    static inline QApplication* app_ = nullptr;
    TempDir dir_;
    const std::string folder_ = dir_.str();
};

TEST_F(Opener, TheAddressArrivesAsOneUntouchedArgument) {
    // A stand-in opener first on PATH records how many arguments it got, and each of them.
    const std::string bin = folder_ + "/bin";
    std::filesystem::create_directory(bin);
    const std::string log = folder_ + "/opened";
    {
        std::ofstream opener(bin + "/xdg-open");
        opener << "#!/bin/sh\n"
               << "{ echo \"$#\"; for a in \"$@\"; do printf '%s\\n' \"$a\"; done; } > '" << log
               << ".part' && mv '" << log << ".part' '" << log << "'\n";
    }
    std::filesystem::permissions(bin + "/xdg-open", std::filesystem::perms::owner_all);
    const std::string path = std::getenv("PATH") ? std::getenv("PATH") : "";
    ::setenv("PATH", (bin + ":" + path).c_str(), 1);
    ::setenv("BROWSER", (bin + "/xdg-open").c_str(), 1);
    for (const char* desktop : {"XDG_CURRENT_DESKTOP", "KDE_FULL_SESSION",
                                "GNOME_DESKTOP_SESSION_ID", "DESKTOP_SESSION"}) {
        ::unsetenv(desktop);
    }
    ASSERT_EQ(::chdir(folder_.c_str()), 0);  // where a stray "touch pwned" would land

    // Everything a shell would act on, in characters an address may carry.
    const std::string address =
        "http://127.0.0.1:1/crewdock/sync.php?session=1&version=2;touch%20pwned$(id)'x'*!";
    DesktopShell shell;
    const bool opened = shell.OpenAddress(QString::fromStdString(address));
    ::setenv("PATH", path.c_str(), 1);
    ::unsetenv("BROWSER");
    ASSERT_TRUE(opened);
    ASSERT_TRUE(WaitFor([&] { return std::filesystem::exists(log); }, 10s));
    std::ifstream in(log);
    std::string count;
    std::string argument;
    std::getline(in, count);
    std::getline(in, argument);
    EXPECT_EQ(count, "1");
    EXPECT_EQ(argument, address);
    EXPECT_FALSE(std::filesystem::exists(folder_ + "/pwned"));
    EXPECT_EQ(::chdir("/"), 0);
}

}  // namespace
}  // namespace packwarden::reliability
