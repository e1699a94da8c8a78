// SPDX-License-Identifier: MIT
// crewdock-dev's request parser on arbitrary bytes. Besides not crashing, how the stream is cut
// into reads must not matter: the whole input at once, random pieces and single bytes all give
// the same outcome, and a complete request carries exactly the body its Content-Length names.
// A complete body then goes through the form decoder, which never keeps more fields than its
// limit.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "FormCoding.h"
#include "HttpRequest.h"

namespace {

using crewdock::HttpRequestParser;

void Check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

// Feeds `stream` in pieces of 1..maxPiece bytes drawn from `seed` (maxPiece 0: all at once).
HttpRequestParser Parse(std::string_view stream, uint32_t seed, std::size_t maxPiece) {
    HttpRequestParser parser;
    while (!stream.empty()) {
        std::size_t piece = stream.size();
        if (maxPiece > 0) {
            seed = seed * 1664525u + 1013904223u;
            piece = std::min<std::size_t>(stream.size(), 1 + (seed >> 8) % maxPiece);
        }
        parser.Feed(stream.substr(0, piece));
        stream.remove_prefix(piece);
    }
    return parser;
}

bool SameOutcome(const HttpRequestParser& a, const HttpRequestParser& b) {
    if (a.status() != b.status() || a.bytesSeen() != b.bytesSeen()) {
        return false;
    }
    if (a.status() == HttpRequestParser::Status::Error) {
        return a.errorStatus() == b.errorStatus() && a.errorReason() == b.errorReason();
    }
    if (a.status() == HttpRequestParser::Status::NeedMore) {
        return a.InBody() == b.InBody();
    }
    const auto& x = a.request();
    const auto& y = b.request();
    return x.method == y.method && x.target == y.target && x.path == y.path && x.query == y.query &&
           x.minorVersion == y.minorVersion && x.headers == y.headers && x.body == y.body;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    // The first byte chooses how the rest is cut.
    const uint32_t seed = data[0];
    const std::string_view stream(reinterpret_cast<const char*>(data) + 1, size - 1);

    const HttpRequestParser whole = Parse(stream, seed, 0);
    Check(whole.bytesSeen() == stream.size(), "bytes seen");
    Check(SameOutcome(whole, Parse(stream, seed, 1 + seed % 97)), "random pieces differ");
    if (stream.size() <= 2048) {
        Check(SameOutcome(whole, Parse(stream, seed, 1)), "single bytes differ");
    }

    switch (whole.status()) {
        case HttpRequestParser::Status::Complete: {
            const auto& r = whole.request();
            const std::string* length = r.Header("content-length");
            Check(r.body.size() == (length ? std::stoull(*length) : 0), "body length");
            Check(r.body.size() <= crewdock::kMaxRequestBytes, "body bound");
            Check(r.body.size() == whole.contentLength(), "announced length");
            crewdock::FormError error = crewdock::FormError::None;
            const std::size_t limit = 1 + seed % 8;
            const auto fields = crewdock::DecodeForm(r.body, &error, limit);
            Check(fields ? fields->size() <= limit && error == crewdock::FormError::None
                         : error != crewdock::FormError::None,
                  "form fields");
            Check(!r.path.empty() && r.path.find('?') == std::string::npos, "path");
            Check(r.method.find(' ') == std::string::npos, "method");
            for (const auto& [name, value] : r.headers) {
                for (char c : name) {
                    Check(!(c >= 'A' && c <= 'Z'), "header name not lower case");
                }
                Check(value.find_first_of("\r\n") == std::string::npos, "header value");
            }
            break;
        }
        case HttpRequestParser::Status::Error: {
            const int s = whole.errorStatus();
            Check(s == 400 || s == 413 || s == 431 || s == 501 || s == 505, "error status");
            break;
        }
        case HttpRequestParser::Status::NeedMore:
            break;
    }
    return 0;
}
