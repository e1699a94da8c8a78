// SPDX-License-Identifier: MIT
#include "HttpResponse.h"

#include <unistd.h>

#include <algorithm>
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

bool TextBody::Next(std::string& out, std::size_t maxBytes) {
    const std::size_t take = std::min(maxBytes, text_.size() - sent_);
    out.append(text_, sent_, take);
    sent_ += take;
    return true;
}

bool FileBody::Next(std::string& out, std::size_t maxBytes) {
    const auto want = static_cast<std::size_t>(std::min<uint64_t>(maxBytes, size_ - read_));
    const std::size_t start = out.size();
    out.resize(start + want);
    std::size_t got = 0;
    while (got < want) {
        const ssize_t n = ::read(fd_.get(), out.data() + start + got, want - got);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        got += static_cast<std::size_t>(n);
    }
    out.resize(start + got);
    read_ += got;
    return got == want;
}

std::string HttpResponse::BodyText() {
    std::string text;
    while (body && text.size() < body->Length()) {
        const std::size_t before = text.size();
        if (!body->Next(text, 64 * 1024) || text.size() == before) {
            break;
        }
    }
    return text;
}

}  // namespace crewdock
