// SPDX-License-Identifier: MIT
// An answer: status, content type and a body that is produced in pieces as the client takes
// them, so that no answer sits in memory whole. Every answer closes the connection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace crewdock {

// Owns one file descriptor.
class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd();

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }

  private:
    int fd_ = -1;
};

// A body produced in pieces. Its length is known before the first piece, for Content-Length.
class BodySource {
  public:
    virtual ~BodySource() = default;
    virtual uint64_t Length() const = 0;
    // Appends about `maxBytes` of what follows (a few bytes more at most) to `out`. False
    // when the promised length can no longer be kept (a file shrank, a session was replaced):
    // the connection must then end without looking complete.
    virtual bool Next(std::string& out, std::size_t maxBytes) = 0;
};

// A small body already in memory.
class TextBody final : public BodySource {
  public:
    explicit TextBody(std::string text) : text_(std::move(text)) {}
    uint64_t Length() const override { return text_.size(); }
    bool Next(std::string& out, std::size_t maxBytes) override;

  private:
    std::string text_;
    std::size_t sent_ = 0;
};

// A regular file read piece by piece.
class FileBody final : public BodySource {
  public:
    FileBody(UniqueFd fd, uint64_t size) : fd_(std::move(fd)), size_(size) {}
    uint64_t Length() const override { return size_; }
    bool Next(std::string& out, std::size_t maxBytes) override;

  private:
    UniqueFd fd_;
    uint64_t size_ = 0;
    uint64_t read_ = 0;
};

struct HttpResponse {
    int status = 200;
    std::string contentType = "text/html; charset=utf-8";
    std::vector<std::pair<std::string, std::string>> extraHeaders;
    std::unique_ptr<BodySource> body;  // null: no body
    bool headOnly = false;             // a HEAD request: the head alone

    uint64_t ContentLength() const { return body ? body->Length() : 0; }
    // The whole body in one string: for small pages and for tests.
    std::string BodyText();
};

std::string_view ReasonPhrase(int status);

// Status line and headers, ending with the blank line: "HTTP/1.0 <status> <reason>",
// Content-Type, Content-Length, Connection: close, then the extra headers.
std::string ResponseHead(const HttpResponse& response);

}  // namespace crewdock
