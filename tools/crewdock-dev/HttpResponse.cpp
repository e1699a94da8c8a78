#include "HttpResponse.h"

#include <unistd.h>

#include <cerrno>

namespace crewdock {

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

UniqueFd::~UniqueFd() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

std::string_view ReasonPhrase(int status) {
    switch (status) {
        case 200:
            return "OK";
        case 400:
            return "Bad Request";
        case 404:
            return "Not Found";
        case 405:
            return "Method Not Allowed";
        case 408:
            return "Request Timeout";
        case 411:
            return "Length Required";
        case 413:
            return "Content Too Large";
        case 415:
            return "Unsupported Media Type";
        case 431:
            return "Request Header Fields Too Large";
        case 500:
            return "Internal Server Error";
        case 501:
            return "Not Implemented";
        case 503:
            return "Service Unavailable";
        case 505:
            return "HTTP Version Not Supported";
        default:
            return "Unknown";
    }
}

std::string ResponseHead(const HttpResponse& response) {
    std::string head = "HTTP/1.0 ";
    head += std::to_string(response.status);
    head += ' ';
    head += ReasonPhrase(response.status);
    head += "\r\nContent-Type: ";
    head += response.contentType;
    head += "\r\nContent-Length: ";
    head += std::to_string(response.ContentLength());
    head += "\r\nConnection: close\r\n";
    for (const auto& [name, value] : response.extraHeaders) {
        head += name;
        head += ": ";
        head += value;
        head += "\r\n";
    }
    head += "\r\n";
    return head;
}

std::string ReadPiece(FileBody& file, std::size_t maxBytes) {
    std::string piece(maxBytes, '\0');
    for (;;) {
        const ssize_t n = ::read(file.fd.get(), piece.data(), piece.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        piece.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
        return piece;
    }
}

}  // namespace crewdock
