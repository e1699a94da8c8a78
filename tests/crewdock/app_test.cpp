// SPDX-License-Identifier: MIT
// Routes, pages, the session store and the catalog, without sockets.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "Catalog.h"
#include "CrewdockApp.h"
#include "FormCoding.h"
#include "HttpRequest.h"
#include "TempDir.h"

using namespace crewdock;
namespace fs = std::filesystem;

namespace {

HttpRequest Parse(const std::string& text) {
    HttpRequestParser parser;
    EXPECT_EQ(parser.Feed(text), HttpRequestParser::Status::Complete) << text;
    return parser.request();
}

HttpRequest Post(const std::string& body) {
    return Parse(
        "POST /crewdock/sync_session.php HTTP/1.0\r\nHost: x\r\n"
        "User-Agent: Packwarden\r\n"
        "Content-type: application/x-www-form-urlencoded\r\n"
        "Content-length: " +
        std::to_string(body.size()) + "\r\n\r\n" + body + "\r\n");
}

HttpRequest Get(const std::string& target, const std::string& method = "GET") {
    return Parse(method + " " + target + " HTTP/1.0\r\n\r\n");
}

using packwarden::testsupport::TempDir;

}  // namespace

TEST(CrewdockApp, PostedListIsKeptUnderItsSession) {
    CrewdockApp app;
    auto posted =
        app.Handle(Post("game=ef2&version=2&session=4711&filename0=pak0.pk3&filesize0=100"
                        "&filename1=a%26b%3Dc%2B%25+%3Cb%3E.pk3&filesize1=4294967296"));
    EXPECT_EQ(posted.status, 200);
    EXPECT_NE(posted.BodyText().find("2 packages received"), std::string::npos);
    const Session* s = app.sessions().Find(4711);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->game, "ef2");
    EXPECT_EQ(s->version, "2");
    ASSERT_EQ(s->packages.size(), 2u);
    EXPECT_EQ(s->packages[0].name, "pak0.pk3");
    EXPECT_EQ(s->packages[1].name, "a&b=c+% <b>.pk3");
    EXPECT_EQ(s->packages[1].size, 4294967296);

    auto page = app.Handle(Get("/crewdock/sync.php?session=4711&version=2"));
    EXPECT_EQ(page.status, 200);
    EXPECT_EQ(page.contentType, "text/html; charset=utf-8");
    const std::string html = page.BodyText();
    EXPECT_EQ(html.size(), page.ContentLength());
    EXPECT_NE(html.find("<td>pak0.pk3</td><td class=\"n\">100</td>"), std::string::npos);
    // The hostile name is shown as text, never as markup.
    EXPECT_NE(html.find("a&amp;b=c+% &lt;b&gt;.pk3"), std::string::npos);
    EXPECT_EQ(html.find("<b>"), std::string::npos);
    EXPECT_NE(html.find("no catalog"), std::string::npos);
}

TEST(CrewdockApp, EmptyListAndReposting) {
    CrewdockApp app;
    EXPECT_EQ(app.Handle(Post("game=ef2&version=2&session=0&filename0=x.pk3&filesize0=1")).status,
              200);
    EXPECT_EQ(app.Handle(Post("game=ef2&version=2&session=0")).status, 200);
    ASSERT_NE(app.sessions().Find(0), nullptr);
    EXPECT_TRUE(app.sessions().Find(0)->packages.empty());  // the later posting wins
    auto page = app.Handle(Get("/crewdock/sync.php?session=0&version=2"));
    EXPECT_EQ(page.status, 200);
    EXPECT_NE(page.BodyText().find("Packages received (0)"), std::string::npos);
}

TEST(CrewdockApp, BadPostingsAreRefusedAndNothingIsKept) {
    CrewdockApp app;
    struct Case {
        std::string body;
        int status;
    };
    const Case cases[] = {
        {"game=ef2&version=2", 400},  // no session
        {"session=abc", 400},
        {"session=-1", 400},
        {"session=1234567890", 400},                                         // ten digits
        {"session=1&filename0=a.pk3", 400},                                  // size missing
        {"session=1&filesize0=3", 400},                                      // name missing
        {"session=1&filename1=a.pk3&filesize1=3", 400},                      // gap at 0
        {"session=1&filename0=a&filesize0=1&filename0=b&filesize0=2", 400},  // repeated
        {"session=1&filename0=a&filesize0=1x", 400},
        {"session=1&filename0=a%2&filesize0=1", 400},  // bad escape
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body);
        auto r = app.Handle(Post(c.body));
        EXPECT_EQ(r.status, c.status);
        EXPECT_NE(r.BodyText().find("<p>"), std::string::npos);
    }
    EXPECT_EQ(app.sessions().size(), 0u);

    // Leading zeros are no index of their own ("filename01" is ignored), other fields too.
    EXPECT_EQ(app.Handle(Post("session=1&filename01=a&filesize01=x&note=hi")).status, 200);
    EXPECT_EQ(app.Handle(Parse("POST /crewdock/sync_session.php HTTP/1.0\r\n"
                               "Content-Type: multipart/form-data; boundary=x\r\n"
                               "Content-Length: 9\r\n\r\nsession=1"))
                  .status,
              415);
    EXPECT_EQ(app.Handle(Parse("POST /crewdock/sync_session.php HTTP/1.0\r\n"
                               "CONTENT-TYPE: Application/X-WWW-Form-Urlencoded; charset=x\r\n"
                               "Content-Length: 9\r\n\r\nsession=2"))
                  .status,
              200);
    EXPECT_EQ(app.Handle(Parse("POST /crewdock/sync_session.php HTTP/1.0\r\n\r\n")).status, 411);
}

TEST(CrewdockApp, RoutesAndMethods) {
    CrewdockApp app;
    EXPECT_EQ(app.Handle(Get("/")).status, 200);
    EXPECT_EQ(app.Handle(Get("/crewdock/")).status, 200);
    EXPECT_EQ(app.Handle(Get("/crewdock")).status, 200);
    EXPECT_EQ(app.Handle(Get("/nothing")).status, 404);
    EXPECT_EQ(app.Handle(Get("/crewdock/sync.php")).status, 400);  // no session
    EXPECT_EQ(app.Handle(Get("/crewdock/sync.php?session=x")).status, 400);
    EXPECT_EQ(app.Handle(Get("/crewdock/sync.php?session=1%zz")).status, 400);
    EXPECT_EQ(app.Handle(Get("/crewdock/%zz")).status, 400);
    EXPECT_EQ(app.Handle(Get("/crewdock/sync%2Ephp?session=1")).status, 404);  // decoded, unknown

    auto unknown = app.Handle(Get("/crewdock/sync.php?session=99&version=2"));
    EXPECT_EQ(unknown.status, 404);
    EXPECT_NE(unknown.BodyText().find("No package list has been received for session 99"),
              std::string::npos);

    const auto wrongMethod = app.Handle(Get("/crewdock/sync_session.php"));
    EXPECT_EQ(wrongMethod.status, 405);
    ASSERT_EQ(wrongMethod.extraHeaders.size(), 1u);
    EXPECT_EQ(wrongMethod.extraHeaders[0].second, "POST");
    EXPECT_EQ(app.Handle(Parse("POST / HTTP/1.0\r\nContent-Length: 0\r\n\r\n")).status, 405);
    EXPECT_EQ(app.Handle(Get("/", "DELETE")).status, 501);
    EXPECT_EQ(app.Handle(Get("/", "BREW")).status, 501);

    const auto head = app.Handle(Get("/crewdock/", "HEAD"));
    EXPECT_EQ(head.status, 200);
    EXPECT_TRUE(head.headOnly);
    EXPECT_GT(head.ContentLength(), 0u);  // the length a GET would send
}

TEST(ResponseHead, StatusLineAndHeaders) {
    HttpResponse r = CrewdockApp::ErrorPage(405, "x");
    r.extraHeaders.emplace_back("Allow", "POST");
    EXPECT_EQ(ResponseHead(r),
              "HTTP/1.0 405 Method Not Allowed\r\n"
              "Content-Type: text/html; charset=utf-8\r\n"
              "Content-Length: " +
                  std::to_string(r.BodyText().size()) +
                  "\r\nConnection: close\r\nAllow: POST\r\n\r\n");
}

TEST(Catalog, SafeNames) {
    for (const char* ok : {"pak0.pk3", "a b.pk3", "x..pk3", "%2e%2e", "\xC3\xA9.pk3"}) {
        EXPECT_TRUE(IsSafeFileName(ok)) << ok;
    }
    for (const std::string& bad :
         std::initializer_list<std::string>{"", ".", "..", "../x", "a/b", "/etc/passwd", "a\\b",
                                            ".hidden", std::string("a\0b", 3)}) {
        EXPECT_FALSE(IsSafeFileName(bad)) << bad;
    }
}

TEST(Catalog, ReadAndCompare) {
    TempDir dir;
    dir.Write("zz.pk3", std::string(5, 'p'));
    dir.Write("Pak0.pk3", std::string(100, 'p'));
    dir.Write("maps.pk3", std::string(20, 'p'));
    dir.Write(".hidden.pk3", std::string(1, 'p'));
    fs::create_directory(dir.path() / "sub.pk3");
    const auto catalog = ReadCatalog(dir.path());
    ASSERT_TRUE(catalog);
    ASSERT_EQ(catalog->size(), 3u);
    EXPECT_EQ((*catalog)[0].name, "Pak0.pk3");
    EXPECT_EQ((*catalog)[0].size, 100u);
    EXPECT_EQ((*catalog)[2].name, "zz.pk3");
    EXPECT_FALSE(ReadCatalog(dir.path() / "absent"));

    // pak0 present (case aside) with the right size; maps with another; zz missing.
    const auto shortfalls =
        Compare(*catalog, {{"PAK0.PK3", 100}, {"maps.pk3", 21}, {"extra.pk3", 7}});
    ASSERT_EQ(shortfalls.size(), 2u);
    EXPECT_EQ(shortfalls[0].entry.name, "maps.pk3");
    EXPECT_FALSE(shortfalls[0].missing);
    EXPECT_EQ(shortfalls[0].playerSize, 21);
    EXPECT_EQ(shortfalls[1].entry.name, "zz.pk3");
    EXPECT_TRUE(shortfalls[1].missing);
    // A wrapped negative size never matches.
    EXPECT_EQ(Compare({{"big.pk3", 4294967295u}}, {{"big.pk3", -1}}).size(), 1u);
}

TEST(CrewdockApp, SessionPageAgainstCatalogAndDownloads) {
    TempDir dir;
    dir.Write("have.pk3", std::string(10, 'p'));
    dir.Write("old.pk3", std::string(30, 'p'));
    dir.Write("new & <odd>.pk3", std::string(7, 'p'));
    CrewdockApp app(dir.path());
    ASSERT_EQ(app.Handle(Post("game=ef2&version=2&session=12&filename0=have.pk3&filesize0=10"
                              "&filename1=old.pk3&filesize1=29"))
                  .status,
              200);
    auto page = app.Handle(Get("/crewdock/sync.php?session=12&version=2"));
    ASSERT_EQ(page.status, 200);
    const std::string html = page.BodyText();
    EXPECT_NE(html.find("<a href=\"/crewdock/files/new%20%26%20%3Codd%3E.pk3\">"
                        "new &amp; &lt;odd&gt;.pk3</a>"),
              std::string::npos)
        << html;
    EXPECT_NE(html.find("<a href=\"/crewdock/files/old.pk3\">old.pk3</a></td>"
                        "<td class=\"n\">30</td><td>you have 29 bytes</td>"),
              std::string::npos);
    EXPECT_EQ(html.find("files/have.pk3"), std::string::npos);

    // The link the page gives serves the file, in pieces.
    auto file = app.Handle(Get("/crewdock/files/new%20%26%20%3Codd%3E.pk3"));
    ASSERT_EQ(file.status, 200);
    ASSERT_TRUE(file.body);
    EXPECT_EQ(file.ContentLength(), 7u);
    EXPECT_EQ(file.contentType, "application/octet-stream");
    std::string bytes;
    EXPECT_TRUE(file.body->Next(bytes, 4));
    EXPECT_EQ(bytes, "pppp");
    EXPECT_TRUE(file.body->Next(bytes, 100));
    EXPECT_EQ(bytes, "ppppppp");
}

TEST(CrewdockApp, DownloadsCannotLeaveTheCatalog) {
    TempDir root;
    fs::create_directory(root.path() / "catalog");
    fs::create_directory(root.path() / "catalog" / "sub");
    root.Write("secret.pk3", std::string(3, 'p'));
    root.Write("catalog/.hidden", std::string(3, 'p'));
    CrewdockApp app(root.path() / "catalog");
    for (const char* target :
         {"/crewdock/files/../secret.pk3", "/crewdock/files/..%2Fsecret.pk3",
          "/crewdock/files/%2e%2e%2fsecret.pk3", "/crewdock/files/%2E%2E", "/crewdock/files/sub",
          "/crewdock/files/sub%2F..%2F..%2Fsecret.pk3", "/crewdock/files/%2Fetc%2Fpasswd",
          "/crewdock/files/secret.pk3%00", "/crewdock/files/.hidden", "/crewdock/files/",
          "/crewdock/files/absent.pk3"}) {
        SCOPED_TRACE(target);
        const auto r = app.Handle(Get(target));
        EXPECT_EQ(r.status, 404);
        EXPECT_EQ(r.contentType, "text/html; charset=utf-8");
    }
    CrewdockApp noCatalog;
    EXPECT_EQ(noCatalog.Handle(Get("/crewdock/files/secret.pk3")).status, 404);
}

TEST(SessionStore, BoundedInCountAndBytesOldestFirst) {
    SessionStore byCount(3, 1 << 20);
    for (uint32_t n = 1; n <= 4; ++n) {
        byCount.Put(n, Session{"ef2", "2", {}});
    }
    EXPECT_EQ(byCount.size(), 3u);
    EXPECT_EQ(byCount.Find(1), nullptr);
    EXPECT_NE(byCount.Find(4), nullptr);
    byCount.Put(2, Session{"ef2", "3", {}});  // reposting makes it the newest
    byCount.Put(5, Session{});
    EXPECT_EQ(byCount.Find(3), nullptr);
    ASSERT_NE(byCount.Find(2), nullptr);
    EXPECT_EQ(byCount.Find(2)->version, "3");

    SessionStore byBytes(100, 4096);
    const Session big{"ef2", "2", {{std::string(1500, 'n'), 1}}};
    byBytes.Put(1, big);
    byBytes.Put(2, big);
    byBytes.Put(3, big);
    EXPECT_EQ(byBytes.Find(1), nullptr);
    EXPECT_NE(byBytes.Find(3), nullptr);
    EXPECT_LE(byBytes.bytes(), 4096u);
}

// The session page is made a piece at a time from the stored posting: however it is cut, the
// pieces join into the page of the length announced, and a posting replaced meanwhile ends the
// page instead of mixing two.
TEST(SessionPage, PiecesOfAnySizeMakeTheSamePage) {
    TempDir dir;
    dir.Write("zz top.pk3", std::string(5, 'p'));
    dir.Write("maps.pk3", std::string(20, 'p'));
    dir.Write("have.pk3", std::string(3, 'p'));
    CrewdockApp app(dir.path());
    std::string body = "game=e%27f2&version=%3C2%3E&session=31";
    const std::vector<std::string> names = {"have.pk3", std::string(5000, '\''),
                                            "a%00b%26%3C%3E%22", "MAPS.pk3"};
    const std::vector<std::string> sizes = {"3", "1", "-7", "21"};
    for (std::size_t i = 0; i < names.size(); ++i) {
        body += "&filename" + std::to_string(i) + "=" + names[i] + "&filesize" + std::to_string(i) +
                "=" + sizes[i];
    }
    ASSERT_EQ(app.Handle(Post(body)).status, 200);

    auto whole = app.Handle(Get("/crewdock/sync.php?session=31"));
    const std::string page = whole.BodyText();
    EXPECT_EQ(page.size(), whole.ContentLength());
    EXPECT_NE(page.find("<p>Game: e&#39;f2, client version: &lt;2&gt;</p>"), std::string::npos);
    EXPECT_NE(page.find("<td>a&#xFFFD;b&amp;&lt;&gt;&quot;</td><td class=\"n\">-7</td>"),
              std::string::npos);
    EXPECT_NE(page.find("files/maps.pk3\">maps.pk3</a></td><td class=\"n\">20</td>"
                        "<td>you have 21 bytes</td>"),
              std::string::npos);
    EXPECT_NE(page.find("files/zz%20top.pk3\">zz top.pk3</a></td><td class=\"n\">5</td>"
                        "<td>missing</td>"),
              std::string::npos);
    EXPECT_EQ(page.find("files/have.pk3"), std::string::npos);
    EXPECT_TRUE(page.ends_with("</table>\n</body></html>\n"));

    for (const std::size_t piece :
         {std::size_t{1}, std::size_t{3}, std::size_t{7}, std::size_t{4096}}) {
        SCOPED_TRACE(piece);
        auto cut = app.Handle(Get("/crewdock/sync.php?session=31"));
        std::string joined;
        while (joined.size() < cut.ContentLength()) {
            const std::size_t before = joined.size();
            ASSERT_TRUE(cut.body->Next(joined, piece));
            ASSERT_GT(joined.size(), before);
            ASSERT_LE(joined.size() - before, piece + 7);  // an entity is never split
        }
        EXPECT_EQ(joined, page);
    }

    auto replaced = app.Handle(Get("/crewdock/sync.php?session=31"));
    std::string start;
    ASSERT_TRUE(replaced.body->Next(start, 100));
    ASSERT_EQ(app.Handle(Post("session=31&filename0=x&filesize0=1")).status, 200);
    EXPECT_FALSE(replaced.body->Next(start, 100));
}

TEST(CrewdockApp, FormsBeyondTheFieldLimitAreRefused) {
    CrewdockApp app;
    std::string body = "session=1";
    for (std::size_t i = 1; i < kMaxFormFields; ++i) {
        body += "&x";
    }
    EXPECT_EQ(app.Handle(Post(body)).status, 200);  // exactly the limit
    auto refused = app.Handle(Post(body + "&x"));
    EXPECT_EQ(refused.status, 400);
    EXPECT_NE(refused.BodyText().find("more than 65537 fields"), std::string::npos);
    // An index no form of this size can reach is a gap, whatever its number.
    EXPECT_EQ(app.Handle(Post("session=1&filename999999999=a&filesize999999999=1")).status, 400);
}

TEST(Catalog, TheFirstEntriesByNameWhenTheFolderHoldsMore) {
    TempDir dir;
    for (const char* name : {"e.pk3", "b.pk3", "d.pk3", "a.pk3", "c.pk3"}) {
        dir.Write(name, std::string(1, 'p'));
    }
    const auto first = ReadCatalog(dir.path(), 3);
    ASSERT_TRUE(first);
    ASSERT_EQ(first->size(), 3u);
    EXPECT_EQ((*first)[0].name, "a.pk3");
    EXPECT_EQ((*first)[2].name, "c.pk3");
    EXPECT_EQ(ReadCatalog(dir.path(), 0)->size(), 0u);

    // Names equal but for case: any size of them matches; else the first posted is reported.
    const std::vector<PackageEntry> player = {{"X.pk3", 1}, {"x.PK3", 2}, {"y.pk3", 3}};
    EXPECT_FALSE(CheckEntry({"x.pk3", 2}, player, IndexByFoldedName(player)));
    const auto other = CheckEntry({"x.pk3", 9}, player, IndexByFoldedName(player));
    ASSERT_TRUE(other);
    EXPECT_FALSE(other->missing);
    EXPECT_EQ(other->playerSize, 1);
    EXPECT_TRUE(CheckEntry({"w.pk3", 1}, player, IndexByFoldedName(player))->missing);
}
