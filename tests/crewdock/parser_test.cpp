// SPDX-License-Identifier: MIT
// The request parser fed as a socket would feed it: in pieces of any size.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "HttpRequest.h"

using crewdock::HttpRequestParser;
using Status = HttpRequestParser::Status;

namespace {

// The request the synchroniser sends, as it lies on the wire (trailing CR LF included).
const std::string kInventory =
    "POST /crewdock/sync_session.php HTTP/1.0\r\n"
    "Host: 127.0.0.1:8080\r\n"
    "User-Agent: Packwarden\r\n"
    "Content-type: application/x-www-form-urlencoded\r\n"
    "Content-length: 59\r\n"
    "\r\n"
    "game=ef2&version=2&session=4711&filename0=a.pk3&filesize0=5"
    "\r\n";

Status FeedInPieces(HttpRequestParser& parser, const std::string& bytes, std::size_t piece) {
    Status s = Status::NeedMore;
    for (std::size_t i = 0; i < bytes.size(); i += piece) {
        s = parser.Feed(std::string_view(bytes).substr(i, piece));
    }
    return s;
}

}  // namespace

TEST(HttpRequestParser, InventoryRequestWholeOrByteByByte) {
    for (const std::size_t piece :
         {kInventory.size(), std::size_t{1}, std::size_t{2}, std::size_t{7}}) {
        SCOPED_TRACE(piece);
        HttpRequestParser parser;
        ASSERT_EQ(FeedInPieces(parser, kInventory, piece), Status::Complete);
        const auto& r = parser.request();
        EXPECT_EQ(r.method, "POST");
        EXPECT_EQ(r.path, "/crewdock/sync_session.php");
        EXPECT_EQ(r.query, "");
        EXPECT_EQ(r.minorVersion, 0);
        ASSERT_NE(r.Header("content-length"), nullptr);
        EXPECT_EQ(*r.Header("content-length"), "59");
        EXPECT_EQ(*r.Header("content-type"), "application/x-www-form-urlencoded");
        EXPECT_EQ(*r.Header("user-agent"), "Packwarden");
        // The trailing CR LF is not part of the body.
        EXPECT_EQ(r.body, "game=ef2&version=2&session=4711&filename0=a.pk3&filesize0=5");
        EXPECT_EQ(parser.bytesSeen(), kInventory.size());
    }
}

TEST(HttpRequestParser, BodyShorterThanLengthStaysIncomplete) {
    HttpRequestParser parser;
    const std::string cut = kInventory.substr(0, kInventory.size() - 20);
    EXPECT_EQ(parser.Feed(cut), Status::NeedMore);
    EXPECT_TRUE(parser.InBody());
}

// An announced length costs nothing until its bytes come; the body then holds at most twice
// what arrived, and exactly its length once whole.
TEST(HttpRequestParser, BodyMemoryFollowsTheBytesNotTheAnnouncement) {
    HttpRequestParser parser;
    EXPECT_EQ(parser.bodyBytesHeld(), 0u);
    EXPECT_EQ(parser.Feed("POST / HTTP/1.0\r\nContent-Length: 8000000\r\n\r\nab"),
              Status::NeedMore);
    EXPECT_LT(parser.bodyBytesHeld(), 64u);
    const std::string piece(100000, 'x');
    std::size_t fed = 2;
    while (fed + piece.size() < 8000000) {
        ASSERT_EQ(parser.Feed(piece), Status::NeedMore);
        fed += piece.size();
        ASSERT_LE(parser.bodyBytesHeld(), 2 * fed) << fed;
        ASSERT_GE(parser.bodyBytesHeld(), fed);
    }
    EXPECT_EQ(parser.Feed(std::string(8000000 - fed, 'y')), Status::Complete);
    EXPECT_EQ(parser.bodyBytesHeld(), 8000000u);
    EXPECT_EQ(parser.request().body.size(), 8000000u);
    EXPECT_EQ(parser.request().body.substr(0, 3), "abx");
}

TEST(HttpRequestParser, GetWithQueryBareLineFeedsAndLeadingBlankLines) {
    HttpRequestParser parser;
    ASSERT_EQ(parser.Feed("\r\n\nGET /crewdock/sync.php?session=7&version=2 HTTP/1.1\n"
                          "HOST:  x \n\n"),
              Status::Complete);
    EXPECT_EQ(parser.request().method, "GET");
    EXPECT_EQ(parser.request().path, "/crewdock/sync.php");
    EXPECT_EQ(parser.request().query, "session=7&version=2");
    EXPECT_EQ(parser.request().minorVersion, 1);
    EXPECT_EQ(*parser.request().Header("host"), "x");
    EXPECT_TRUE(parser.request().body.empty());
}

TEST(HttpRequestParser, AbsoluteTargetIsReducedToItsPath) {
    HttpRequestParser parser;
    ASSERT_EQ(parser.Feed("GET http://127.0.0.1:8080/crewdock/?a=1 HTTP/1.0\r\n\r\n"),
              Status::Complete);
    EXPECT_EQ(parser.request().path, "/crewdock/");
    EXPECT_EQ(parser.request().query, "a=1");
}

TEST(HttpRequestParser, TerminatorSplitAcrossFeeds) {
    HttpRequestParser parser;
    EXPECT_EQ(parser.Feed("GET / HTTP/1.0\r\n\r"), Status::NeedMore);
    EXPECT_EQ(parser.Feed("\n"), Status::Complete);
}

TEST(HttpRequestParser, MalformedRequestsAnswer400) {
    const char* cases[] = {
        "GET\r\n\r\n",
        "GET /\r\n\r\n",            // no version (HTTP/0.9)
        "GET  / HTTP/1.0\r\n\r\n",  // two spaces
        "GET / HTTP/1.0 extra\r\n\r\n",
        "GET / HTTX/1.0\r\n\r\n",
        "GET / HTTP/1.10\r\n\r\n",
        "G(T / HTTP/1.0\r\n\r\n",  // not a token
        "GET relative HTTP/1.0\r\n\r\n",
        "GET /a\x01 HTTP/1.0\r\n\r\n",
        "GET / HTTP/1.0\r\nNoColon\r\n\r\n",
        "GET / HTTP/1.0\r\nBad Name: x\r\n\r\n",
        "GET / HTTP/1.0\r\nA: b\r\n folded\r\n\r\n",
        "GET / HTTP/1.0\r\nA: b\x7f\r\n\r\n",
        "POST / HTTP/1.0\r\nContent-Length: 12x\r\n\r\n",
        "POST / HTTP/1.0\r\nContent-Length: -1\r\n\r\n",
        "POST / HTTP/1.0\r\nContent-Length: \r\n\r\n",
        "POST / HTTP/1.0\r\nContent-Length: 99999999999999999999\r\n\r\n",
        "POST / HTTP/1.0\r\nContent-Length: 3\r\ncontent-length: 4\r\n\r\n",
    };
    for (const char* text : cases) {
        SCOPED_TRACE(text);
        HttpRequestParser parser;
        EXPECT_EQ(parser.Feed(text), Status::Error);
        EXPECT_EQ(parser.errorStatus(), 400);
        EXPECT_FALSE(parser.errorReason().empty());
        // Further bytes change nothing.
        EXPECT_EQ(parser.Feed("GET / HTTP/1.0\r\n\r\n"), Status::Error);
    }
}

TEST(HttpRequestParser, RepeatedEqualContentLengthIsAccepted) {
    HttpRequestParser parser;
    EXPECT_EQ(parser.Feed("POST / HTTP/1.0\r\nContent-Length: 2\r\nContent-length: 2\r\n\r\nab"),
              Status::Complete);
    EXPECT_EQ(parser.request().body, "ab");
}

TEST(HttpRequestParser, OtherVersionsAndCodingsAreRefused) {
    HttpRequestParser v2;
    EXPECT_EQ(v2.Feed("GET / HTTP/2.0\r\n\r\n"), Status::Error);
    EXPECT_EQ(v2.errorStatus(), 505);
    HttpRequestParser chunked;
    EXPECT_EQ(chunked.Feed("POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n"), Status::Error);
    EXPECT_EQ(chunked.errorStatus(), 501);
}

TEST(HttpRequestParser, SizeLimits) {
    using crewdock::kMaxHeadBytes;
    using crewdock::kMaxRequestBytes;
    {
        // A body that would take the request past 8 MiB is refused from its length alone.
        HttpRequestParser parser;
        const std::string head =
            "POST / HTTP/1.0\r\nContent-Length: " + std::to_string(kMaxRequestBytes) + "\r\n\r\n";
        EXPECT_EQ(parser.Feed(head), Status::Error);
        EXPECT_EQ(parser.errorStatus(), 413);
    }
    {
        // Just under the limit is read whole.
        HttpRequestParser parser;
        std::string head = "POST / HTTP/1.0\r\nContent-Length: ";
        const std::size_t length = kMaxRequestBytes - head.size() - 16;
        head += std::to_string(length) + "\r\n\r\n";
        ASSERT_EQ(parser.Feed(head), Status::NeedMore);
        const std::string chunk(64 * 1024, 'x');
        Status s = Status::NeedMore;
        for (std::size_t sent = 0; sent < length; sent += chunk.size()) {
            s = parser.Feed(
                std::string_view(chunk).substr(0, std::min(chunk.size(), length - sent)));
        }
        EXPECT_EQ(s, Status::Complete);
        EXPECT_EQ(parser.request().body.size(), length);
    }
    {
        // A header section that never ends: refused once it passes the limit.
        HttpRequestParser parser;
        std::string line = "X-Filler: " + std::string(1000, 'a') + "\r\n";
        Status s = parser.Feed("GET / HTTP/1.0\r\n");
        for (std::size_t n = 0; s == Status::NeedMore && n < 1000; ++n) {
            s = parser.Feed(line);
        }
        EXPECT_EQ(s, Status::Error);
        EXPECT_EQ(parser.errorStatus(), 431);
        EXPECT_LE(parser.bytesSeen(), kMaxHeadBytes + 2 * line.size());
    }
    {
        // Header lines are counted too: a head of tiny lines would cost far more than its size.
        std::string head = "GET / HTTP/1.0\r\n";
        for (std::size_t n = 0; n < crewdock::kMaxHeaderFields; ++n) {
            head += "a:\r\n";
        }
        HttpRequestParser most;
        EXPECT_EQ(most.Feed(head + "\r\n"), Status::Complete);
        EXPECT_EQ(most.request().headers.size(), crewdock::kMaxHeaderFields);
        HttpRequestParser more;
        EXPECT_EQ(more.Feed(head + "a:\r\n\r\n"), Status::Error);
        EXPECT_EQ(more.errorStatus(), 431);
    }
    {
        // Endless blank lines before a request line cost nothing but are not endless.
        HttpRequestParser parser;
        Status s = Status::NeedMore;
        for (std::size_t n = 0; s == Status::NeedMore && n < 100; ++n) {
            s = parser.Feed(std::string(4096, '\n'));
        }
        EXPECT_EQ(s, Status::Error);
        EXPECT_EQ(parser.errorStatus(), 431);
    }
}

// Random requests from pieces that matter to the grammar, fed whole and in random splits:
// the outcome never depends on how the bytes were cut, and errors carry a 4xx/5xx status.
TEST(HttpRequestParser, OutcomeDoesNotDependOnHowBytesAreSplit) {
    const std::vector<std::string> pieces = {"GET",
                                             "POST",
                                             " ",
                                             " /",
                                             "/crewdock/",
                                             "?session=1",
                                             " HTTP/1.0",
                                             " HTTP/1.1",
                                             "\r\n",
                                             "\n",
                                             "\r",
                                             "Content-Length: ",
                                             "content-length:",
                                             "3",
                                             "12",
                                             "Host: x",
                                             ":",
                                             "%",
                                             "\t",
                                             "abc",
                                             std::string("\0", 1),
                                             "\x7f",
                                             "\xff",
                                             "Transfer-Encoding: chunked"};
    std::mt19937 random(12345);
    for (int round = 0; round < 3000; ++round) {
        std::string input;
        // Most rounds start with a valid request line, so the header and body paths are reached.
        if (round % 3 != 0) {
            input = round % 2 ? "POST /x HTTP/1.0\r\n" : "GET / HTTP/1.1\r\n";
        }
        const int count = static_cast<int>(random() % 12);
        for (int i = 0; i < count; ++i) {
            input += pieces[random() % pieces.size()];
        }
        if (round % 4 == 0) {
            input += "\r\n\r\n";
        }
        HttpRequestParser whole;
        const Status expected = whole.Feed(input);
        HttpRequestParser split;
        Status got = Status::NeedMore;
        for (std::size_t at = 0; at < input.size();) {
            const std::size_t n = 1 + random() % 5;
            got = split.Feed(std::string_view(input).substr(at, n));
            at += n;
        }
        if (input.empty()) {
            got = split.status();
        }
        SCOPED_TRACE(input);
        ASSERT_EQ(got, expected);
        if (expected == Status::Error) {
            EXPECT_EQ(split.errorStatus(), whole.errorStatus());
            EXPECT_TRUE(whole.errorStatus() == 400 || whole.errorStatus() == 501 ||
                        whole.errorStatus() == 505 || whole.errorStatus() == 413)
                << whole.errorStatus();
        } else if (expected == Status::Complete) {
            EXPECT_EQ(split.request().body, whole.request().body);
            EXPECT_EQ(split.request().target, whole.request().target);
            EXPECT_EQ(split.request().headers, whole.request().headers);
        }
    }
}
