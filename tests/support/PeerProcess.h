// SPDX-License-Identifier: MIT
// A command as a test's peer (the openssl command's server or client, curl), with its standard
// input and output as pipes the test holds; killed and reaped on every path out. POSIX only.
#pragma once

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "LoopbackSupport.h"

namespace packwarden::testsupport {

class PeerProcess {
  public:
    explicit PeerProcess(std::vector<std::string> args) {
        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) {
            return;
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(in[0], 0);
            ::dup2(out[1], 1);
            const int null = ::open("/dev/null", O_WRONLY);
            ::dup2(null, 2);
            std::vector<char*> argv;
            for (auto& a : args) {
                argv.push_back(a.data());
            }
            argv.push_back(nullptr);
            ::execvp(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        stdin_.reset(in[1]);
        stdout_.reset(out[0]);
        ::fcntl(stdout_.get(), F_SETFL, O_NONBLOCK);
    }
    ~PeerProcess() { Kill(); }
    PeerProcess(const PeerProcess&) = delete;
    PeerProcess& operator=(const PeerProcess&) = delete;

    void Write(const std::string& s) {
        ASSERT_EQ(::write(stdin_.get(), s.data(), s.size()), static_cast<long>(s.size()));
    }
    // What it printed so far.
    const std::string& Output() {
        char buffer[65536];
        for (long n; (n = ::read(stdout_.get(), buffer, sizeof buffer)) > 0;) {
            output_.append(buffer, static_cast<std::size_t>(n));
        }
        return output_;
    }
    bool Exited() {
        if (!exited_ && pid_ > 0 && ::waitpid(pid_, nullptr, WNOHANG) == pid_) {
            exited_ = true;
        }
        return exited_;
    }
    // SIGKILL: the system closes its connections without a word of TLS.
    void Kill() {
        if (pid_ > 0 && !exited_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
            exited_ = true;
        }
    }

  private:
    pid_t pid_ = -1;
    bool exited_ = false;
    Fd stdin_, stdout_;
    std::string output_;
};

}  // namespace packwarden::testsupport
#endif
