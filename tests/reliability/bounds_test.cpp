// SPDX-License-Identifier: MIT
// The inputs an attacker controls, pushed to their bounds: request heads at the size limit cut
// anywhere, registry files past their line and size limits, package names built to break the
// form, and server overrides built to break the header.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "CentralServer.h"
#include "HttpRequest.h"
#include "Inventory.h"
#include "Module1.h"
#include "TempDir.h"

namespace packwarden::reliability {
namespace {

using crewdock::HttpRequestParser;
using crewdock::kMaxHeadBytes;
using packwarden::testsupport::ScopedEnv;
using packwarden::testsupport::TempDir;

// A request whose head (up to, not counting, its final blank line's CR LF) is `size` bytes.
std::string HeadOfSize(std::size_t size) {
    std::string head = "GET / HTTP/1.0\r\nX-Fill: ";
    head += std::string(size - head.size() - 1, 'f');
    head += "\n";  // the head's last byte is this line end
    return head + "\r\n";
}

TEST(RequestBounds, WhereTheStreamIsCutNeverDecidesTheOutcomeAtTheHeadLimit) {
    for (std::size_t size : {kMaxHeadBytes - 1, kMaxHeadBytes, kMaxHeadBytes + 1}) {
        const std::string request = HeadOfSize(size);
        HttpRequestParser whole;
        whole.Feed(request);
        for (std::size_t cut = size - 2; cut <= size + 1; ++cut) {
            HttpRequestParser split;
            split.Feed(std::string_view(request).substr(0, cut));
            split.Feed(std::string_view(request).substr(cut));
            EXPECT_EQ(split.status(), whole.status()) << "head " << size << ", cut at " << cut;
            EXPECT_EQ(split.errorStatus(), whole.errorStatus());
        }
        if (size <= kMaxHeadBytes) {
            EXPECT_EQ(whole.status(), HttpRequestParser::Status::Complete) << size;
        } else {
            EXPECT_EQ(whole.errorStatus(), 431) << size;
        }
    }
}

class RegistryBounds : public ::testing::Test {
  protected:
    std::string File() const { return prefix_ + "/system.reg"; }
    bool Read(std::string& result) {
        return Module1::ReadRegistryValue(Module1::HKEY_LOCAL_MACHINE, "Software\\A", "v", result);
    }

    TempDir dir_;
    const std::string prefix_ = dir_.str();
    ScopedEnv wine_{"WINEPREFIX", prefix_};
};

TEST_F(RegistryBounds, OverlongLinesAreSkippedAndOversizedFilesRefusedNotRead) {
    const std::string good = "WINE REGISTRY Version 2\n[Software\\\\A]\n\"v\"=\"ok\"\n";
    std::string result = "kept";
    {
        // A line of more than a mebibyte before the key is passed over, unread.
        std::ofstream(File()) << "WINE REGISTRY Version 2\n;" << std::string(1 << 20, 'x')
                              << "\n[Software\\\\A]\n\"v\"=\"ok\"\n";
    }
    ASSERT_TRUE(Read(result));
    EXPECT_EQ(result, "ok");
    result = "kept";
    {
        // An overlong header still ends the key before it; its values are no one's.
        std::ofstream(File()) << "WINE REGISTRY Version 2\n[Software\\\\A]\n["
                              << std::string(1 << 20, 'A') << "]\n\"v\"=\"ok\"\n";
    }
    EXPECT_FALSE(Read(result));
    EXPECT_EQ(result, "kept");
    {
        // A continued hex value whose continuation line is overlong.
        std::ofstream(File()) << "WINE REGISTRY Version 2\n[Software\\\\A]\n\"v\"=hex:41,\\\n"
                              << std::string((1 << 20) + 1, ' ') << "42\n";
    }
    EXPECT_FALSE(Read(result));
    EXPECT_EQ(result, "kept");
    { std::ofstream(File()) << good; }
    ASSERT_TRUE(Read(result));
    EXPECT_EQ(result, "ok");
    // Grown past 64 MiB (sparse, so nothing is written): refused by its size alone.
    ASSERT_EQ(::truncate(File().c_str(), (64 << 20) + 1), 0);
    result = "kept";
    EXPECT_FALSE(Read(result));
    EXPECT_EQ(result, "kept");
    // A name that is no regular file (a folder) is refused too.
    std::filesystem::remove(File());
    std::filesystem::create_directory(File());
    EXPECT_FALSE(Read(result));
}

// Splits a form body into its fields, undoing the form encoding.
std::multimap<std::string, std::string> Fields(const std::string& body) {
    const auto decode = [](const std::string& s) {
        std::string out;
        for (std::size_t i = 0; i < s.size(); ++i) {
            if (s[i] == '+') {
                out += ' ';
            } else if (s[i] == '%' && i + 2 < s.size() + 0) {
                out += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
                i += 2;
            } else {
                out += s[i];
            }
        }
        return out;
    };
    std::multimap<std::string, std::string> fields;
    std::size_t start = 0;
    while (start <= body.size()) {
        std::size_t end = body.find('&', start);
        if (end == std::string::npos) {
            end = body.size();
        }
        const std::string field = body.substr(start, end - start);
        const std::size_t eq = field.find('=');
        fields.emplace(decode(field.substr(0, eq)),
                       eq == std::string::npos ? "" : decode(field.substr(eq + 1)));
        start = end + 1;
    }
    return fields;
}

TEST(FormBounds, NoPackageNameCanAddChangeOrSplitAField) {
    std::string everyByte;
    for (int b = 1; b < 256; ++b) {
        everyByte += static_cast<char>(b);
    }
    const std::vector<PackageEntry> entries = {
        {"a&session=1.pk3", 1},
        {"x=y&filename0=evil.pk3", 2},
        {"line\r\nContent-length: 0\r\n\r\n.pk3", 3},
        {everyByte + ".pk3", 4},
        {"%00%zz+ .pk3", 5},
    };
    const std::string body = InventoryBody(2, 17, entries);
    for (char c : body) {
        const bool safe = std::isalnum(static_cast<unsigned char>(c)) ||
                          std::string_view("-._*+%=&").find(c) != std::string_view::npos;
        ASSERT_TRUE(safe) << "raw byte " << int(static_cast<unsigned char>(c)) << " in the body";
    }
    const auto fields = Fields(body);
    ASSERT_EQ(fields.size(), 3 + 2 * entries.size());
    EXPECT_EQ(fields.count("session"), 1u);
    EXPECT_EQ(fields.find("session")->second, "17");
    for (std::size_t n = 0; n < entries.size(); ++n) {
        const std::string i = std::to_string(n);
        ASSERT_EQ(fields.count("filename" + i), 1u);
        EXPECT_EQ(fields.find("filename" + i)->second, entries[n].name);
        EXPECT_EQ(fields.find("filesize" + i)->second, std::to_string(entries[n].size));
    }
    // The framing counts exactly the body, whatever it holds.
    const std::string request = ComposeRequest(HeaderTemplate("h"), body);
    EXPECT_NE(
        request.find("Content-length: " + std::to_string(body.size()) + "\r\n\r\n" + body + "\r\n"),
        std::string::npos);
}

TEST(ServerOverrideBounds, NothingButAHostNameAndAPortReachesTheHeaderOrTheBrowser) {
    std::string why;
    for (const char* hostile :
         {"evil\r\nX-Injected: 1", "host name", "a/b", "user@host", "host:80/path", "host:+80",
          "host:0080a", "host\n:80", "$(touch x)", "`id`", "a;b", "host:65536", "host:-1",
          "h%0d%0a", "[::1%0d%0a]:80"}) {
        EXPECT_FALSE(ParseServerOverride(hostile, why).has_value()) << hostile;
    }
    const auto server = ParseServerOverride("mirror-1.example.org:8080", why);
    ASSERT_TRUE(server.has_value());
    EXPECT_EQ(server->SessionPage(5, 2),
              "http://mirror-1.example.org:8080/crewdock/sync.php?session=5&version=2");
}

}  // namespace
}  // namespace packwarden::reliability
