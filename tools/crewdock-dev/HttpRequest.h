// SPDX-License-Identifier: MIT
// An HTTP/1.0 request read from a byte stream fed in chunks of any size (HTTP/1.1 requests
// are read the same way). The body is framed by Content-Length only; a request without it has
// no body. Whatever follows the body (a client's trailing CR LF, say) is ignored: one request
// per connection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace crewdock {

// Limits that keep one connection's cost bounded.
constexpr std::size_t kMaxRequestBytes = 8 * 1024 * 1024;  // head and body together
constexpr std::size_t kMaxHeadBytes = 64 * 1024;           // request line and headers
// Header lines: each one kept costs two strings, so a head of tiny lines would cost twenty
// times its size.
constexpr std::size_t kMaxHeaderFields = 100;

struct HttpRequest {
    std::string method;
    std::string target;  // as sent: path and query, still percent-encoded
    std::string path;    // target up to '?', still percent-encoded
    std::string query;   // after '?', still encoded; empty when none
    int minorVersion = 0;
    // Names in lower case, values without surrounding blanks, in the order received.
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;

    const std::string* Header(std::string_view lowerName) const;
};

class HttpRequestParser {
  public:
    enum class Status { NeedMore, Complete, Error };

    // Takes the next bytes of the stream. After Complete or Error further bytes are ignored.
    Status Feed(std::string_view bytes);

    Status status() const { return status_; }
    // Valid once Complete (and, as far as it was read, after Error: for the log line).
    const HttpRequest& request() const { return request_; }
    // On Error: the HTTP status to answer with (400, 413, 431, 501, 505) and why.
    int errorStatus() const { return errorStatus_; }
    const std::string& errorReason() const { return errorReason_; }
    // Every byte fed so far, including those ignored.
    std::size_t bytesSeen() const { return bytesSeen_; }
    // True once the head is read and the body is still incomplete.
    bool InBody() const { return status_ == Status::NeedMore && headDone_; }
    // The body's length as announced, once the head is read.
    std::size_t contentLength() const { return contentLength_; }
    // The memory the body holds so far: it grows with the bytes received (at most twice them),
    // never past the announced length.
    std::size_t bodyBytesHeld() const { return headDone_ ? request_.body.capacity() : 0; }

  private:
    Status Fail(int status, std::string reason);
    Status ParseHead(std::string_view head);
    void GrowBody(std::size_t more);

    Status status_ = Status::NeedMore;
    HttpRequest request_;
    std::string head_;
    std::size_t scanFrom_ = 0;  // where the search for the blank line resumes
    bool headDone_ = false;
    std::size_t contentLength_ = 0;
    std::size_t bytesSeen_ = 0;
    std::size_t skipped_ = 0;  // empty lines before the request line
    int errorStatus_ = 0;
    std::string errorReason_;
};

}  // namespace crewdock
