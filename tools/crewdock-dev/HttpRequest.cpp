// SPDX-License-Identifier: MIT
#include "HttpRequest.h"

#include <algorithm>

namespace crewdock {

namespace {

// Heads up to this size grow as strings do; larger ones get their whole bound at once.
constexpr std::size_t kSmallHead = 4096;

bool IsTokenChar(unsigned char c) {
    if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) {
        return true;
    }
    return std::string_view("!#$%&'*+-.^_`|~").find(static_cast<char>(c)) != std::string_view::npos;
}

bool IsToken(std::string_view s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) {
        return IsTokenChar(static_cast<unsigned char>(c));
    });
}

std::string Lower(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return out;
}

std::string_view TrimBlanks(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) {
        s.remove_prefix(1);
    }
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) {
        s.remove_suffix(1);
    }
    return s;
}

// Splits the head into lines, accepting CR LF and bare LF endings.
std::vector<std::string_view> SplitLines(std::string_view head) {
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    while (start < head.size()) {
        std::size_t end = head.find('\n', start);
        if (end == std::string_view::npos) {
            end = head.size();
        }
        std::string_view line = head.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

}  // namespace

const std::string* HttpRequest::Header(std::string_view lowerName) const {
    for (const auto& [name, value] : headers) {
        if (name == lowerName) {
            return &value;
        }
    }
    return nullptr;
}

HttpRequestParser::Status HttpRequestParser::Fail(int status, std::string reason) {
    status_ = Status::Error;
    errorStatus_ = status;
    errorReason_ = std::move(reason);
    head_.clear();
    head_.shrink_to_fit();
    request_.body.clear();
    request_.body.shrink_to_fit();
    return status_;
}

// Memory for the body as its bytes arrive, not as announced (an announcement costs the sender
// nothing): doubling, so that copies stay linear, and never past the announced length, so
// that the whole body is held in no more than its size.
void HttpRequestParser::GrowBody(std::size_t more) {
    std::string& body = request_.body;
    const std::size_t needed = body.size() + more;
    if (needed > body.capacity()) {
        // Into a fresh string: growing one in place may round the request up to twice what it
        // held, past the announced length.
        std::string grown;
        grown.reserve(std::min(contentLength_, std::max(needed, 2 * body.capacity())));
        grown.append(body);
        body.swap(grown);
    }
}

HttpRequestParser::Status HttpRequestParser::Feed(std::string_view bytes) {
    bytesSeen_ += bytes.size();
    if (status_ != Status::NeedMore) {
        return status_;
    }
    if (!headDone_) {
        // Empty lines before the request line are tolerated (RFC 9112, 2.2).
        if (head_.empty()) {
            while (!bytes.empty() && (bytes.front() == '\r' || bytes.front() == '\n')) {
                bytes.remove_prefix(1);
                if (++skipped_ > kMaxHeadBytes) {
                    return Fail(431, "request header fields too large");
                }
            }
        }
        const std::size_t room = kMaxHeadBytes + 4 - head_.size();
        const std::size_t take = std::min(room, bytes.size());
        // A large head goes to its bound in one step: doubling would overshoot it by half.
        if (const std::size_t needed = head_.size() + take;
            needed > head_.capacity() && needed > kSmallHead) {
            head_.reserve(kMaxHeadBytes + 4);
        }
        head_.append(bytes.substr(0, take));
        // Search only the new bytes (and the three before them, for a split terminator).
        std::size_t end = std::string::npos;
        std::size_t terminator = 0;
        for (std::size_t i = scanFrom_; i < head_.size(); ++i) {
            if (head_[i] != '\n') {
                continue;
            }
            if (i >= 1 && head_[i - 1] == '\n') {
                end = i - 1;
                terminator = 2;
                break;
            }
            if (i >= 2 && head_[i - 1] == '\r' && head_[i - 2] == '\n') {
                end = i - 2;
                terminator = 3;
                break;
            }
        }
        if (end == std::string::npos) {
            // A head of exactly kMaxHeadBytes may still end with CR LF in the next read; only
            // past that can no terminator bring it within bounds (else the cut decides).
            if (head_.size() > kMaxHeadBytes + 1) {
                return Fail(431, "request header fields too large");
            }
            scanFrom_ = head_.size();
            return status_;
        }
        if (end + 1 > kMaxHeadBytes) {
            return Fail(431, "request header fields too large");
        }
        // Bytes after the blank line belong to the body: those in head_ and the untaken rest.
        const std::size_t headEnd = end + terminator;
        std::string spill = head_.substr(headEnd);
        spill.append(bytes.substr(take));
        head_.resize(end + 1);
        if (ParseHead(head_) == Status::Error) {
            return status_;
        }
        headDone_ = true;
        head_.clear();
        head_.shrink_to_fit();
        bytes = {};
        const std::size_t bodyTake = std::min(contentLength_, spill.size());
        GrowBody(bodyTake);
        request_.body.append(spill, 0, bodyTake);
    } else {
        const std::size_t bodyTake = std::min(contentLength_ - request_.body.size(), bytes.size());
        GrowBody(bodyTake);
        request_.body.append(bytes.substr(0, bodyTake));
    }
    if (request_.body.size() == contentLength_) {
        status_ = Status::Complete;
    }
    return status_;
}

HttpRequestParser::Status HttpRequestParser::ParseHead(std::string_view head) {
    const auto lines = SplitLines(head);
    if (lines.empty()) {
        return Fail(400, "empty request");
    }
    // Request line: method SP target SP HTTP/d.d
    const std::string_view line = lines.front();
    const std::size_t sp1 = line.find(' ');
    const std::size_t sp2 = sp1 == std::string_view::npos ? sp1 : line.find(' ', sp1 + 1);
    if (sp1 == std::string_view::npos || sp2 == std::string_view::npos ||
        line.find(' ', sp2 + 1) != std::string_view::npos) {
        return Fail(400, "malformed request line");
    }
    const std::string_view method = line.substr(0, sp1);
    std::string_view target = line.substr(sp1 + 1, sp2 - sp1 - 1);
    const std::string_view version = line.substr(sp2 + 1);
    if (!IsToken(method)) {
        return Fail(400, "malformed method");
    }
    if (version.size() != 8 || version.substr(0, 5) != "HTTP/" || version[6] != '.' ||
        version[5] < '0' || version[5] > '9' || version[7] < '0' || version[7] > '9') {
        return Fail(400, "malformed HTTP version");
    }
    request_.method = std::string(method);
    request_.minorVersion = version[7] - '0';
    if (version[5] != '1') {
        return Fail(505, "HTTP version not supported");
    }
    for (const char ch : target) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x21 || c == 0x7F) {
            return Fail(400, "control character in request target");
        }
    }
    // An absolute address ("http://host/path") is reduced to its path.
    for (const std::string_view scheme : {"http://", "https://"}) {
        if (target.size() >= scheme.size() && Lower(target.substr(0, scheme.size())) == scheme) {
            const std::size_t slash = target.find('/', scheme.size());
            target = slash == std::string_view::npos ? std::string_view("/") : target.substr(slash);
        }
    }
    if (target.empty() || (target.front() != '/' && target != "*")) {
        return Fail(400, "malformed request target");
    }
    request_.target = std::string(target);
    const std::size_t q = target.find('?');
    request_.path = std::string(target.substr(0, q));
    if (q != std::string_view::npos) {
        request_.query = std::string(target.substr(q + 1));
    }
    // Fragments never travel; one that does is cut off.
    if (const std::size_t hash = request_.query.find('#'); hash != std::string::npos) {
        request_.query.resize(hash);
    }
    if (const std::size_t hash = request_.path.find('#'); hash != std::string::npos) {
        request_.path.resize(hash);
    }

    if (lines.size() - 1 > kMaxHeaderFields) {
        return Fail(431, "more than " + std::to_string(kMaxHeaderFields) + " header fields");
    }
    bool haveLength = false;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const std::string_view h = lines[i];
        if (h.empty() || h.front() == ' ' || h.front() == '\t') {
            return Fail(400, "folded header line");
        }
        const std::size_t colon = h.find(':');
        if (colon == std::string_view::npos || !IsToken(h.substr(0, colon))) {
            return Fail(400, "malformed header line");
        }
        const std::string_view value = TrimBlanks(h.substr(colon + 1));
        for (const char ch : value) {
            const auto c = static_cast<unsigned char>(ch);
            if ((c < 0x20 && c != '\t') || c == 0x7F) {
                return Fail(400, "control character in header value");
            }
        }
        std::string name = Lower(h.substr(0, colon));
        if (name == "content-length") {
            if (value.empty() || value.size() > 18 ||
                !std::all_of(value.begin(), value.end(),
                             [](char c) { return c >= '0' && c <= '9'; })) {
                return Fail(400, "malformed Content-Length");
            }
            std::size_t length = 0;
            for (const char c : value) {
                length = length * 10 + static_cast<std::size_t>(c - '0');
            }
            if (haveLength && length != contentLength_) {
                return Fail(400, "conflicting Content-Length headers");
            }
            haveLength = true;
            contentLength_ = length;
        } else if (name == "transfer-encoding") {
            return Fail(501, "transfer codings are not supported");
        }
        request_.headers.emplace_back(std::move(name), std::string(value));
    }
    if (contentLength_ > kMaxRequestBytes || head.size() + contentLength_ > kMaxRequestBytes) {
        return Fail(413, "request larger than 8 MiB");
    }
    return status_;
}

}  // namespace crewdock
