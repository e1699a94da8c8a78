// SPDX-License-Identifier: MIT
// The inventory: folder listing, form encoding, the request byte for byte and the session
// number.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <set>

#include "Inventory.h"
#include "TempDir.h"

namespace packwarden {
namespace {

using testsupport::TempDir;

const std::string CentralHeader =
    "POST /crewdock/sync_session.php HTTP/1.0\r\n"
    "Host: www.torvane.net\r\n"
    "User-Agent: Packwarden\r\n"
    "Content-type: application/x-www-form-urlencoded\r\n";

// The names of `folder` in the order the file system yields them.
std::vector<std::string> ReaddirOrder(const std::string& folder) {
    std::vector<std::string> names;
    DIR* dir = ::opendir(folder.c_str());
    while (const dirent* entry = ::readdir(dir)) {
        names.emplace_back(entry->d_name);
    }
    ::closedir(dir);
    return names;
}

void CreateEmptyFiles(const TempDir& dir, int count) {
    for (int i = 0; i < count; ++i) {
        const std::string name = dir.str() + "/p" + std::to_string(i) + ".pk3";
        const int fd = ::open(name.c_str(), O_CREAT | O_WRONLY, 0644);
        ASSERT_GE(fd, 0);
        ::close(fd);
    }
}

TEST(ListPackages, MatchesPk3InAnyCaseSkipsHiddenKeepsListingOrder) {
    TempDir dir;
    dir.Write("a.pk3", "12345");
    dir.Write("B.PK3", "");
    dir.Write("c.Pk3", "1");
    dir.Write(".hidden.pk3", "1");
    dir.Write("x.pk3.txt", "1");
    dir.Write("pk3", "1");
    dir.Write("notes.txt", "1");
    std::filesystem::create_directory(dir.path() / "folder.pk3");
    std::filesystem::create_symlink("a.pk3", dir.path() / "link.pk3");
    // Entries that cannot be examined are passed over, the rest of the folder is listed.
    std::filesystem::create_symlink("nowhere", dir.path() / "dangling.pk3");
    std::filesystem::create_symlink("loop.pk3", dir.path() / "loop.pk3");
    std::filesystem::create_symlink("ping.pk3", dir.path() / "pong.pk3");
    std::filesystem::create_symlink("pong.pk3", dir.path() / "ping.pk3");
    std::filesystem::create_symlink("a.pk3/inside", dir.path() / "through-a-file.pk3");
    std::filesystem::create_symlink(std::string(300, 'x'), dir.path() / "too-long.pk3");

    std::vector<PackageEntry> entries;
    ASSERT_EQ(ListPackages(dir.str(), entries), Listing::Listed);
    std::vector<std::string> expected;
    for (const std::string& name : ReaddirOrder(dir.str())) {
        if (name == "a.pk3" || name == "B.PK3" || name == "c.Pk3" || name == "folder.pk3" ||
            name == "link.pk3") {
            expected.push_back(name);
        }
    }
    std::vector<std::string> names;
    for (const PackageEntry& entry : entries) {
        names.push_back(entry.name);
        const int64_t size = entry.name == "a.pk3" || entry.name == "link.pk3" ? 5
                             : entry.name == "c.Pk3"                           ? 1
                                                                               : 0;
        EXPECT_EQ(entry.size, size) << entry.name;
    }
    EXPECT_EQ(names, expected);
}

TEST(ListPackages, SizesAreSixtyFourBit) {
    TempDir dir;
    const std::string big = dir.str() + "/big.pk3";
    const int fd = ::open(big.c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, int64_t{5} << 30), 0);  // sparse: takes no room on disk
    ::close(fd);
    std::vector<PackageEntry> entries;
    ASSERT_EQ(ListPackages(dir.str() + "/", entries), Listing::Listed);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].size, int64_t{5368709120});
    EXPECT_EQ(InventoryBody(2, 1, entries),
              "game=ef2&version=2&session=1&filename0=big.pk3"
              "&filesize0=5368709120");
}

TEST(ListPackages, FolderThatCannotBeListedFails) {
    TempDir dir;
    std::vector<PackageEntry> entries{{"stale.pk3", 1}};
    EXPECT_EQ(ListPackages(dir.str() + "/missing", entries), Listing::Unreadable);
    EXPECT_TRUE(entries.empty());
    const std::string file = dir.Write("file.pk3", "x").string();
    EXPECT_EQ(ListPackages(file, entries), Listing::Unreadable);
    ASSERT_EQ(ListPackages(dir.str(), entries), Listing::Listed);
    EXPECT_EQ(entries.size(), 1u);
}

TEST(ListPackages, AtMost32767Entries) {
    TempDir dir;
    CreateEmptyFiles(dir, 32767);
    dir.Write("notes.txt", "");  // not counted
    std::vector<PackageEntry> entries;
    ASSERT_EQ(ListPackages(dir.str(), entries), Listing::Listed);
    ASSERT_EQ(entries.size(), 32767u);
    const std::string body = InventoryBody(2, 7, entries);
    EXPECT_NE(body.find("&filename32766=" + entries.back().name + "&filesize32766=0"),
              std::string::npos);
    EXPECT_EQ(body.find("filename32767"), std::string::npos);
    std::set<std::string> unique;
    for (const PackageEntry& entry : entries) {
        unique.insert(entry.name);
    }
    EXPECT_EQ(unique.size(), 32767u);

    dir.Write("one-more.pk3", "");
    EXPECT_EQ(ListPackages(dir.str(), entries), Listing::TooMany);
    EXPECT_TRUE(entries.empty());
}

TEST(FormEncode, EncodesEverythingButUnreservedBytes) {
    EXPECT_EQ(FormEncode("AZaz09-._*"), "AZaz09-._*");
    EXPECT_EQ(FormEncode("a b&c=d+e%f"), "a+b%26c%3Dd%2Be%25f");
    EXPECT_EQ(FormEncode("caf\xC3\xA9/~\x01\xFF"), "caf%C3%A9%2F%7E%01%FF");
    EXPECT_EQ(FormEncode(std::string("\0", 1)), "%00");
    EXPECT_EQ(FormEncode(""), "");
}

TEST(Request, NoFilesEndsAfterTheSession) {
    const std::string body = InventoryBody(2, 4711, {});
    EXPECT_EQ(body, "game=ef2&version=2&session=4711");
    EXPECT_EQ(ComposeRequest(HeaderTemplate("www.torvane.net"), body),
              CentralHeader + "Content-length: 31\r\n\r\ngame=ef2&version=2&session=4711\r\n");
}

TEST(Request, ThreeFilesInListingOrder) {
    const std::vector<PackageEntry> entries{{"zz.pk3", 10}, {"aa.pk3", 0}, {"mm.PK3", 2147483648}};
    const std::string body = InventoryBody(2, 0, entries);
    const std::string expected =
        "game=ef2&version=2&session=0"
        "&filename0=zz.pk3&filesize0=10&filename1=aa.pk3&filesize1=0"
        "&filename2=mm.PK3&filesize2=2147483648";
    EXPECT_EQ(body, expected);
    EXPECT_EQ(ComposeRequest(HeaderTemplate("www.torvane.net"), body),
              CentralHeader + "Content-length: " + std::to_string(expected.size()) + "\r\n\r\n" +
                  expected + "\r\n");
}

TEST(Request, LengthLineCountsTheBodyOnly) {
    const std::string body = InventoryBody(2, 0, {{"x.pk3", 12}});
    ASSERT_EQ(body.size(), 57u);
    const std::string request = ComposeRequest(HeaderTemplate("www.torvane.net"), body);
    const std::size_t blank = request.find("\r\n\r\n");
    ASSERT_NE(blank, std::string::npos);
    EXPECT_EQ(request.substr(0, blank + 2), CentralHeader + "Content-length: 57\r\n");
    EXPECT_EQ(request.size() - (blank + 4), 59u);
    EXPECT_EQ(request.substr(blank + 4), body + "\r\n");
}

TEST(Request, NamesAreFormEncodedAndCountedEncoded) {
    const std::vector<PackageEntry> entries{{"a&b=c+d%e f.pk3", 1}, {"\xC3\xA9t\xE9.pk3", 2}};
    const std::string body = InventoryBody(2, 5, entries);
    const std::string expected =
        "game=ef2&version=2&session=5"
        "&filename0=a%26b%3Dc%2Bd%25e+f.pk3&filesize0=1"
        "&filename1=%C3%A9t%E9.pk3&filesize1=2";
    EXPECT_EQ(body, expected);
    const std::string request = ComposeRequest(HeaderTemplate("x"), body);
    EXPECT_NE(request.find("Content-length: " + std::to_string(expected.size()) + "\r\n\r\n"),
              std::string::npos);
}

TEST(Request, TrailingSeparator) {
    EXPECT_EQ(WithTrailingSeparator("/games/ef2/base"), "/games/ef2/base/");
    EXPECT_EQ(WithTrailingSeparator("/games/ef2/base/"), "/games/ef2/base/");
    EXPECT_EQ(WithTrailingSeparator(""), "/");
}

// The first float r near target/10000 whose product r * 10000 is exactly `target`.
float SingleGiving(float target) {
    float r = target / 10000.0f;
    for (int i = 0; i < 64; ++i) {
        if (r * 10000.0f == target) {
            return r;
        }
        r = std::nextafter(r, r * 10000.0f < target ? 1.0f : 0.0f);
    }
    ADD_FAILURE() << "no single gives " << target;
    return 0;
}

TEST(SessionNumber, RoundsHalvesToEvenWithinRange) {
    EXPECT_EQ(SessionGenerator::SessionFromSingle(0.0f), 0);
    EXPECT_EQ(SessionGenerator::SessionFromSingle(std::nextafter(1.0f, 0.0f)), 10000);
    EXPECT_EQ(SessionGenerator::SessionFromSingle(SingleGiving(2.5f)), 2);
    EXPECT_EQ(SessionGenerator::SessionFromSingle(SingleGiving(5.5f)), 6);
    EXPECT_EQ(SessionGenerator::SessionFromSingle(SingleGiving(4711.5f)), 4712);
    EXPECT_EQ(SessionGenerator::SessionFromSingle(SingleGiving(4712.5f)), 4712);
    EXPECT_EQ(SessionGenerator::SessionFromSingle(SingleGiving(4711.25f)), 4711);
    EXPECT_EQ(SessionGenerator::SessionFromSingle(SingleGiving(4711.75f)), 4712);
}

TEST(SessionNumber, DrawsVaryAndGeneratorsSeedApart) {
    SessionGenerator a;
    SessionGenerator b;
    std::set<int16_t> seen;
    std::vector<int16_t> fromA, fromB;
    for (int i = 0; i < 1000; ++i) {
        const int16_t n = a.NextSessionNumber();
        ASSERT_GE(n, 0);
        ASSERT_LE(n, 10000);
        seen.insert(n);
        if (i < 8) {
            fromA.push_back(n);
            fromB.push_back(b.NextSessionNumber());
        }
    }
    EXPECT_GT(seen.size(), 500u);
    EXPECT_NE(fromA, fromB);
}

}  // namespace
}  // namespace packwarden
