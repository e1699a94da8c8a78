// SPDX-License-Identifier: MIT
// Percent and form coding, HTML escaping, log-line safety and the request log.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "FormCoding.h"
#include "Log.h"

using namespace crewdock;

TEST(PercentDecode, EscapesPlusAndErrors) {
    EXPECT_EQ(PercentDecode("a%20b%2fc%2F", false), "a b/c/");
    EXPECT_EQ(PercentDecode("a+b", false), "a+b");
    EXPECT_EQ(PercentDecode("a+b", true), "a b");
    EXPECT_EQ(PercentDecode("%00%ff", false), std::string("\0\xff", 2));
    EXPECT_EQ(PercentDecode("", true), "");
    for (const char* bad : {"%", "%2", "a%2", "%zz", "%g0", "%%41", "100%"}) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(PercentDecode(bad, true).has_value());
    }
}

TEST(DecodeForm, FieldsInOrderWithHostileNames) {
    // What the synchroniser sends for names holding & = + % and a space.
    const auto fields = DecodeForm(
        "game=ef2&version=2&session=0&filename0=a%26b%3Dc%2Bd%25e+f.pk3&filesize0=12"
        "&filename1=%C3%A9t%C3%A9.pk3&filesize1=3");
    ASSERT_TRUE(fields);
    ASSERT_EQ(fields->size(), 7u);
    EXPECT_EQ((*fields)[3].first, "filename0");
    EXPECT_EQ((*fields)[3].second, "a&b=c+d%e f.pk3");
    EXPECT_EQ((*fields)[5].second, "\xC3\xA9t\xC3\xA9.pk3");
    EXPECT_EQ(*FindField(*fields, "session"), "0");
    EXPECT_EQ(FindField(*fields, "missing"), nullptr);
}

TEST(DecodeForm, EmptyPiecesNoValueAndBadEscapes) {
    const auto fields = DecodeForm("&a&&b=&=c&");
    ASSERT_TRUE(fields);
    ASSERT_EQ(fields->size(), 3u);
    EXPECT_EQ((*fields)[0], (std::pair<std::string, std::string>("a", "")));
    EXPECT_EQ((*fields)[1], (std::pair<std::string, std::string>("b", "")));
    EXPECT_EQ((*fields)[2], (std::pair<std::string, std::string>("", "c")));
    EXPECT_TRUE(DecodeForm("")->empty());
    EXPECT_FALSE(DecodeForm("a=%4"));
    EXPECT_FALSE(DecodeForm("a%zz=1"));
}

TEST(FormEncode, RoundTripsEveryByte) {
    std::string all;
    for (int c = 0; c < 256; ++c) {
        all += static_cast<char>(c);
    }
    const std::string encoded = FormEncode(all);
    EXPECT_EQ(encoded.find_first_of("&= "), std::string::npos);
    EXPECT_EQ(std::count(encoded.begin(), encoded.end(), '+'), 1);
    EXPECT_EQ(PercentDecode(encoded, true), all);
    EXPECT_EQ(PercentDecode(PercentEncode(all), false), all);
    EXPECT_EQ(FormEncode("a b*-._~"), "a+b*-._%7E");
    EXPECT_EQ(PercentEncode("a b/..&"), "a%20b%2F..%26");
}

TEST(HtmlEscape, NeutralisesMarkup) {
    EXPECT_EQ(HtmlEscape("<script>alert('x')</script>&\""),
              "&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt;&amp;&quot;");
    EXPECT_EQ(HtmlEscape("plain.pk3"), "plain.pk3");
}

TEST(LogSafe, ControlBytesBecomeVisible) {
    EXPECT_EQ(LogSafe("/a\r\nb\\\x1b\xff"), "/a\\x0D\\x0Ab\\x5C\\x1B\\xFF");
}

TEST(DecodeForm, StopsAtTheFieldLimitAndSaysWhy) {
    FormError error = FormError::None;
    EXPECT_TRUE(DecodeForm("a&b&&c", &error, 3));
    EXPECT_EQ(error, FormError::None);
    EXPECT_FALSE(DecodeForm("a&b&c&d", &error, 3));
    EXPECT_EQ(error, FormError::TooManyFields);
    EXPECT_FALSE(DecodeForm("a=%zz", &error));
    EXPECT_EQ(error, FormError::BadEscape);
    // Empty pieces cost nothing and count for nothing.
    EXPECT_TRUE(DecodeForm(std::string(100000, '&') + "a", &error, 1));
}

TEST(Escaping, SizesMatchWhatIsWrittenAndExcerptsAreShort) {
    std::string all;
    for (int c = 0; c < 256; ++c) {
        all += static_cast<char>(c);
    }
    EXPECT_EQ(CodedSize(all, Coding::Html), HtmlEscape(all).size());
    EXPECT_EQ(CodedSize(all, Coding::Percent), PercentEncode(all).size());
    EXPECT_EQ(CodedSize(all, Coding::None), all.size());
    EXPECT_EQ(HtmlEscape(std::string(1, '\0')), "&#xFFFD;");
    EXPECT_EQ(Excerpt("short"), "short");
    EXPECT_EQ(Excerpt(std::string(1000, 'x'), 10), "xxxxxxxxxx...");
}

namespace {

struct Pipe {
    Pipe() {
        int fds[2];
        EXPECT_EQ(::pipe(fds), 0);
        read = fds[0];
        write = fds[1];
        ::fcntl(read, F_SETFL, O_NONBLOCK);
    }
    ~Pipe() {
        ::close(read);
        ::close(write);
    }
    std::string Drain() const {
        std::string out;
        char buffer[4096];
        ssize_t n = 0;
        while ((n = ::read(read, buffer, sizeof buffer)) > 0) {
            out.append(buffer, static_cast<std::size_t>(n));
        }
        return out;
    }
    int read = -1;
    int write = -1;
};

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

}  // namespace

// A pipe nobody reads: writing never waits, lines beyond the queue are dropped whole and
// counted, and the count is written once the pipe is read again.
TEST(RequestLog, NeverWaitsDropsWholeLinesAndReportsThem) {
    Pipe pipe;
    // The pipe's own descriptor stays blocking: the log writes through one of its own.
    ASSERT_EQ(::fcntl(pipe.write, F_GETFL) & O_NONBLOCK, 0);
    RequestLog log(pipe.write, 16 * 1024);
    log.Plain("first line, as it is");
    const std::string text(300, 't');
    constexpr int kLines = 2000;  // about 600 KB: ten times what pipe and queue hold
    for (int i = 0; i < kLines; ++i) {
        log.Line(std::to_string(i) + " " + text);
    }
    EXPECT_EQ(::fcntl(pipe.write, F_GETFL) & O_NONBLOCK, 0);
    EXPECT_TRUE(log.Pending());
    EXPECT_GT(log.dropped(), 0u);

    std::string seen = pipe.Drain();
    log.Flush();
    seen += pipe.Drain();
    log.Flush();
    seen += pipe.Drain();
    EXPECT_FALSE(log.Pending());
    const auto lines = Lines(seen);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines.front(), "first line, as it is");
    const std::regex stamped(
        "[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3}Z (.*)");
    const std::regex notice("crewdock-dev: ([0-9]+) log lines dropped: .*");
    uint64_t kept = 0;
    uint64_t reported = 0;
    int last = -1;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(lines[i], m, stamped)) << lines[i].substr(0, 80);
        const std::string rest = m[1];
        std::smatch n;
        if (std::regex_match(rest, n, notice)) {
            reported += std::stoull(n[1]);
            continue;
        }
        // Whole lines, in order.
        const int number = std::stoi(rest);
        EXPECT_GT(number, last);
        last = number;
        EXPECT_EQ(rest, std::to_string(number) + " " + text);
        ++kept;
    }
    EXPECT_EQ(reported, log.dropped());
    EXPECT_EQ(kept + reported, static_cast<uint64_t>(kLines));
}

TEST(RequestLog, AnOutputWithNoReaderCostsNothing) {
    ::signal(SIGPIPE, SIG_IGN);  // as the program does
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ::close(fds[0]);
    {
        RequestLog log(fds[1]);
        for (int i = 0; i < 100; ++i) {
            log.Line("into the void");
        }
        EXPECT_FALSE(log.Pending());
        EXPECT_EQ(log.dropped(), 100u);
    }
    ::close(fds[1]);
}
