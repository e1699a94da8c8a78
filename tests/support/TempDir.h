// SPDX-License-Identifier: MIT
// A fresh folder under the system's temporary folder, removed with everything in it.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>

namespace packwarden::testsupport {

class TempDir {
  public:
    // A name nobody holds yet, made with create_directory's own check (no mkdtemp on Windows).
    explicit TempDir(const std::string& prefix = "packwarden-") {
        std::random_device random;
        for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
            const auto candidate = std::filesystem::temp_directory_path() /
                                   (prefix + std::to_string(random() % 1000000000u));
            if (std::filesystem::create_directory(candidate)) {
                path_ = candidate;
            }
        }
        if (path_.empty()) {
            throw std::runtime_error("no temporary folder");
        }
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::string str() const { return path_.string(); }

    // Writes `content` to the file `name` (folders created as needed); returns its path.
    std::filesystem::path Write(const std::string& name, const std::string& content) const {
        const std::filesystem::path file = path_ / name;
        std::filesystem::create_directories(file.parent_path());
        std::ofstream out(file, std::ios::binary);
        out << content;
        return file;
    }

  private:
    std::filesystem::path path_;
};

// Sets an environment variable for one scope and restores the former value.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const std::string& value) : name_(name) {
        if (const char* old = std::getenv(name)) {
            old_ = old;
            hadOld_ = true;
        }
        Set(name, value.c_str());
    }
    ~ScopedEnv() { Set(name_.c_str(), hadOld_ ? old_.c_str() : nullptr); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    static void Set(const char* name, const char* value) {
#ifdef _WIN32
        ::_putenv_s(name, value != nullptr ? value : "");  // "" removes it
#else
        if (value != nullptr) {
            ::setenv(name, value, 1);
        } else {
            ::unsetenv(name);
        }
#endif
    }

    std::string name_;
    std::string old_;
    bool hadOld_ = false;
};

}  // namespace packwarden::testsupport
