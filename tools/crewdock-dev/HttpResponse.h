// An answer: status, content type and either a body in memory or a file streamed in pieces.
// Every answer closes the connection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
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

// A file sent in pieces, so that a large download never sits in memory whole.
struct FileBody {
    UniqueFd fd;
    uint64_t size = 0;
};

struct HttpResponse {
    int status = 200;
    std::string contentType = "text/html; charset=utf-8";
    std::vector<std::pair<std::string, std::string>> extraHeaders;
    std::string body;
    std::optional<FileBody> file;  // when set, the body comes from here
    bool headOnly = false;         // a HEAD request: the head alone

    uint64_t ContentLength() const { return file ? file->size : body.size(); }
};

std::string_view ReasonPhrase(int status);

// Status line and headers, ending with the blank line: "HTTP/1.0 <status> <reason>",
// Content-Type, Content-Length, Connection: close, then the extra headers.
std::string ResponseHead(const HttpResponse& response);

// Reads the next piece of a file body, at most `maxBytes`. Empty on end of file or error.
std::string ReadPiece(FileBody& file, std::size_t maxBytes);

}  // namespace crewdock
