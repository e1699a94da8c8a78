// SPDX-License-Identifier: MIT
// The window with real widgets on the offscreen platform, talking to a real loopback peer.
#include <gtest/gtest.h>

#include <QApplication>
#include <QEventLoop>
#include <QFontMetrics>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <fstream>
#include <functional>
#include <memory>
#include <regex>
#include <sstream>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "QtTestSupport.h"
#include "RawPeer.h"
#include "TempDir.h"
#include "qt/Form1.h"
#include "qt/ServerForRun.h"

namespace packwarden {
namespace {

using testsupport::RawPeer;
using testsupport::ScopedEnv;
using testsupport::TempDir;

class RecordingShell final : public Shell {
  public:
    struct Shown {
        QString text;
        Icon icon;
        QString detail;
    };

    bool OpenAddress(const QString& address) override {
        opened.push_back(address);
        return openSucceeds;
    }
    std::optional<QString> PickFolder(QWidget*, const QString& title) override {
        pickTitles.push_back(title);
        return pick;
    }
    void ShowMessage(QWidget*, const QString& text, Icon icon, const QString& detail) override {
        messages.push_back({text, icon, detail});
    }
    void EndProgram() override { ++ends; }

    bool openSucceeds = true;
    std::optional<QString> pick;
    std::vector<QString> opened;
    std::vector<QString> pickTitles;
    std::vector<Shown> messages;
    int ends = 0;
};

using packwarden::testsupport::WaitFor;

struct ParsedRequest {
    std::string head;  // up to and with the blank line
    std::string body;
    std::string tail;
};

ParsedRequest Split(const std::string& request) {
    ParsedRequest parsed;
    const std::size_t blank = request.find("\r\n\r\n");
    if (blank == std::string::npos) {
        return parsed;
    }
    parsed.head = request.substr(0, blank + 4);
    std::smatch length;
    if (std::regex_search(parsed.head, length, std::regex("Content-length: (\\d+)\r\n"))) {
        const std::size_t n = std::stoul(length[1]);
        parsed.body = request.substr(blank + 4, n);
        if (request.size() >= blank + 4 + n) {
            parsed.tail = request.substr(blank + 4 + n);
        }
    }
    return parsed;
}

class Window : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { packwarden::testsupport::EnsureApplication(); }

    std::unique_ptr<Form1> MakeForm(const CentralServer& server) {
        auto form = std::make_unique<Form1>(shell_, server);
        form->show();
        return form;
    }
    template <typename T>
    static T* Child(QWidget& form, const char* name) {
        return form.findChild<T*>(QString::fromLatin1(name));
    }
    static CentralServer Loopback(uint16_t port) { return {"127.0.0.1", port}; }
    bool WaitForMessage(std::size_t count, std::chrono::milliseconds limit) {
        return WaitFor([&] { return shell_.messages.size() >= count; }, limit);
    }
    // Presses Launch again after the one message of a failure: the program must end with no
    // further message, and the peer see the sender close behind the request.
    ::testing::AssertionResult PressAgainAndSeeItThrough(Form1& form, const RawPeer& peer) {
        Child<QPushButton>(form, "doit")->click();
        if (!WaitFor([&] { return shell_.ends > 0 || shell_.messages.size() > 1; },
                     std::chrono::seconds(8))) {
            return ::testing::AssertionFailure() << "neither an end nor a message";
        }
        if (shell_.messages.size() != 1 || shell_.ends != 1) {
            return ::testing::AssertionFailure()
                   << "message: " << shell_.messages.back().text.toStdString();
        }
        if (!WaitFor([&] { return peer.finished(); }, std::chrono::seconds(5))) {
            return ::testing::AssertionFailure() << "the peer saw no close";
        }
        return ::testing::AssertionSuccess();
    }

    TempDir prefix_;  // an empty Wine prefix: no registry
    ScopedEnv wine_{"WINEPREFIX", prefix_.str()};
    TempDir home_;  // and none of the other usual places holds the game
    ScopedEnv homeEnv_{"HOME", home_.str()};
    TempDir games_;
    RecordingShell shell_;
};

TEST_F(Window, LayoutTextsAndLook) {
    auto form = MakeForm(CentralServer{});
    EXPECT_EQ(form->windowTitle(), "Torvane Packwarden");
    EXPECT_EQ(form->size(), QSize(400, 391));
    EXPECT_EQ(form->minimumSize(), form->maximumSize());
    EXPECT_EQ(form->palette().color(QPalette::Window), QColor(40, 44, 81));
    EXPECT_FALSE(form->windowIcon().isNull());

    const struct {
        const char* name;
        QRect geometry;
        int tab;
    } controls[] = {
        {"Picture1", {32, 16, 329, 57}, 7},      {"Label2", {16, 96, 369, 105}, 3},
        {"mydata", {-48, 72, 401, 19}, 6},       {"Label1", {24, 232, 81, 33}, 2},
        {"path_to_ef2", {112, 240, 185, 19}, 1}, {"Browse", {312, 240, 65, 25}, 5},
        {"Label3", {16, 296, 369, 33}, 4},       {"doit", {152, 344, 81, 33}, 0},
    };
    for (const auto& control : controls) {
        QWidget* widget = Child<QWidget>(*form, control.name);
        ASSERT_NE(widget, nullptr) << control.name;
        EXPECT_EQ(widget->geometry(), control.geometry) << control.name;
        EXPECT_EQ(widget->property("TabIndex").toInt(), control.tab) << control.name;
    }
    EXPECT_EQ(Child<QFrame>(*form, "Line1")->geometry(), QRect(24, 208, 352, 1));
    EXPECT_EQ(Child<QFrame>(*form, "Line2")->geometry(), QRect(24, 280, 352, 1));
    EXPECT_EQ(Child<QLabel>(*form, "Picture1")->pixmap().size(), QSize(318, 57));
    // High-density screens get the banner drawn at twice the size, not an enlarged copy.
    EXPECT_EQ(QPixmap(":/packwarden/banner@2x.png").size(), QSize(636, 114));

    EXPECT_EQ(Child<QLabel>(*form, "Label1")->text(), "Elite Force II base folder path:");
    EXPECT_EQ(Child<QLabel>(*form, "Label2")->text(),
              "This program will detect what pk3 files are stored on your system, and send it "
              "to the Torvane server. The server will then return a page giving you direct "
              "download links for any pk3's in our system that you don't have, or that are "
              "outmoded. We do not collect any data on you, other than what pk3 files you have "
              "and what software version you're running.");
    EXPECT_EQ(Child<QLabel>(*form, "Label3")->text(),
              "Developed by Brightforge for Torvane. If you are a developer, join the Torvane "
              "crewdock today!");
    EXPECT_EQ(Child<QPushButton>(*form, "doit")->text(), "&Launch system");
    EXPECT_EQ(Child<QPushButton>(*form, "Browse")->text(), "Browse");
    for (const char* label : {"Label1", "Label2", "Label3"}) {
        const QLabel* widget = Child<QLabel>(*form, label);
        EXPECT_EQ(widget->palette().color(QPalette::WindowText), QColor(Qt::white)) << label;
        // 9.75 pt, or as near as lets a substitute face fit the fixed box.
        EXPECT_LE(widget->font().pointSizeF(), 9.75) << label;
        EXPECT_GE(widget->font().pointSizeF(), 6.0) << label;
        const QRect needed =
            QFontMetrics(widget->font())
                .boundingRect(QRect(0, 0, widget->width(), 10000),
                              Qt::TextWordWrap | widget->alignment(), widget->text());
        EXPECT_LE(needed.height(), widget->height()) << label;
        EXPECT_EQ(widget->font().underline(), std::string(label) == "Label3") << label;
    }

    // The folder field: no registry names the game, so it is empty and asks for a folder.
    EXPECT_EQ(Child<QLineEdit>(*form, "path_to_ef2")->text(), "");
    EXPECT_EQ(Child<QLineEdit>(*form, "path_to_ef2")->placeholderText(),
              "Choose the game's base folder with Browse");
    const QPlainTextEdit* mydata = Child<QPlainTextEdit>(*form, "mydata");
    EXPECT_FALSE(mydata->isVisible());
    EXPECT_EQ(mydata->toPlainText(),
              "POST /crewdock/sync_session.php HTTP/1.0\nHost: www.torvane.net\n"
              "User-Agent: Packwarden\nContent-type: application/x-www-form-urlencoded\n");

    // Focus starts on the launch button; Tab goes to the field, then Browse, then back.
    QWidget* doit = Child<QWidget>(*form, "doit");
    EXPECT_EQ(form->focusWidget(), doit);
    std::vector<QString> order;
    QWidget* widget = doit;
    do {
        if ((widget->focusPolicy() & Qt::TabFocus) && widget->isVisible() &&
            form->isAncestorOf(widget)) {
            order.push_back(widget->objectName());
        }
        widget = widget->nextInFocusChain();
    } while (widget != doit && order.size() < 20);
    EXPECT_EQ(order, (std::vector<QString>{"doit", "path_to_ef2", "Browse"}));
}

TEST_F(Window, FolderFieldShowsTheMappedInstallPath) {
    std::filesystem::create_directories(prefix_.path() / "drive_c" / "Games" / "EF2" / "base");
    std::filesystem::create_directories(prefix_.path() / "dosdevices");
    std::filesystem::create_directory_symlink("../drive_c", prefix_.path() / "dosdevices" / "c:");
    prefix_.Write("system.reg",
                  "WINE REGISTRY Version 2\n\n[Software\\\\Activision\\\\Elite Force II] 1\n"
                  "\"InstallPath\"=\"C:\\\\Games\\\\EF2\"\n");
    auto form = MakeForm(CentralServer{});
    const std::string expected =
        std::filesystem::canonical(prefix_.path() / "drive_c" / "Games" / "EF2").string() + "/base";
    EXPECT_EQ(Child<QLineEdit>(*form, "path_to_ef2")->text().toStdString(), expected);
}

TEST_F(Window, BaseFolderWhoseNameIsNotUtf8IsScannedByItsBytes) {
    // Drive D: is a folder named in Latin-1 ("\xC9" is E acute), as an old disk may hold.
    const std::filesystem::path drive = games_.path() / "\xC9lite";
    std::filesystem::create_directories(drive / "EF2" / "base");
    std::ofstream(drive / "EF2" / "base" / "a.pk3") << "1234";
    std::filesystem::create_directories(prefix_.path() / "dosdevices");
    std::filesystem::create_directory_symlink(drive, prefix_.path() / "dosdevices" / "d:");
    prefix_.Write("system.reg",
                  "WINE REGISTRY Version 2\n\n[Software\\\\Activision\\\\Elite Force II] 1\n"
                  "\"InstallPath\"=\"D:\\\\EF2\"\n");
    RawPeer peer;
    peer.Serve();
    auto form = MakeForm(Loopback(peer.port()));
    QLineEdit* field = Child<QLineEdit>(*form, "path_to_ef2");
    const QString shown = field->text();
    EXPECT_TRUE(shown.endsWith("/EF2/base")) << shown.toStdString();

    Child<QPushButton>(*form, "doit")->click();
    ASSERT_TRUE(WaitFor([&] { return shell_.ends > 0 || !shell_.messages.empty(); },
                        std::chrono::seconds(5)));
    ASSERT_TRUE(shell_.messages.empty()) << shell_.messages[0].text.toStdString();
    EXPECT_EQ(field->text(), shown + "/");  // only the separator is added
    ASSERT_TRUE(WaitFor([&] { return peer.finished(); }, std::chrono::seconds(5)));
    EXPECT_EQ(Split(peer.received()).body,
              "game=ef2&version=2&session=" + std::to_string(form->SessionNumber()) +
                  "&filename0=a.pk3&filesize0=4");
}

TEST_F(Window, SecondaryActions) {
    auto form = MakeForm(CentralServer{"localhost", 8123});
    QLineEdit* field = Child<QLineEdit>(*form, "path_to_ef2");
    field->setText("/typed/by/hand");
    shell_.pick.reset();  // cancelled
    Child<QPushButton>(*form, "Browse")->click();
    EXPECT_EQ(field->text(), "/typed/by/hand");
    shell_.pick = "/home/player/.wine/drive_c/Games/EF2/base";
    Child<QPushButton>(*form, "Browse")->click();
    EXPECT_EQ(field->text(), "/home/player/.wine/drive_c/Games/EF2/base");
    EXPECT_EQ(shell_.pickTitles,
              (std::vector<QString>{"Select EFII base folder:", "Select EFII base folder:"}));

    QTest::mouseClick(Child<QWidget>(*form, "Label3"), Qt::LeftButton);
    QTest::mouseClick(Child<QWidget>(*form, "Picture1"), Qt::LeftButton);
    EXPECT_EQ(shell_.opened,
              (std::vector<QString>{"http://localhost:8123/crewdock/", "http://localhost:8123/"}));
    EXPECT_TRUE(shell_.messages.empty());
    EXPECT_EQ(shell_.ends, 0);
}

TEST_F(Window, LaunchPostsTheInventoryOpensTheSessionPageAndEnds) {
    games_.Write("b.pk3", "1234");
    games_.Write("A&B=C+D%E F.PK3", "12");
    games_.Write("readme.txt", "x");
    RawPeer peer;
    peer.Serve();
    // Through the environment and by name, as a player's mirror would be given.
    ScopedEnv server("PACKWARDEN_SERVER", "localhost:" + std::to_string(peer.port()));
    std::ostringstream diagnostics;
    const std::optional<CentralServer> chosen = ServerForRun(shell_, diagnostics);
    ASSERT_TRUE(chosen);
    EXPECT_TRUE(diagnostics.str().empty());
    auto form = MakeForm(*chosen);
    QLineEdit* field = Child<QLineEdit>(*form, "path_to_ef2");
    field->setText(QString::fromStdString(games_.str()));

    // Alt+L, the launch button's access key.
    QApplication::setActiveWindow(form.get());
    ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
    QTest::keyClick(form.get(), Qt::Key_L, Qt::AltModifier);
    ASSERT_TRUE(WaitFor([&] { return shell_.ends > 0 || !shell_.messages.empty(); },
                        std::chrono::seconds(10)));
    ASSERT_TRUE(shell_.messages.empty()) << shell_.messages[0].text.toStdString();
    EXPECT_EQ(shell_.ends, 1);
    EXPECT_FALSE(form->isVisible());
    EXPECT_EQ(field->text().toStdString(), games_.str() + "/");

    // The request arrives whole and the connection is closed behind it.
    ASSERT_TRUE(WaitFor([&] { return peer.finished(); }, std::chrono::seconds(5)));
    const ParsedRequest request = Split(peer.received());
    const std::string session = std::to_string(form->SessionNumber());
    EXPECT_EQ(
        request.head.substr(0, request.head.find("Content-length")),
        "POST /crewdock/sync_session.php HTTP/1.0\r\nHost: localhost:" +
            std::to_string(peer.port()) +
            "\r\nUser-Agent: Packwarden\r\nContent-type: application/x-www-form-urlencoded\r\n");
    EXPECT_EQ(request.tail, "\r\n");
    const std::string start = "game=ef2&version=2&session=" + session + "&filename0=";
    EXPECT_EQ(request.body.substr(0, start.size()), start);
    const std::string first = "b.pk3&filesize0=4&filename1=A%26B%3DC%2BD%25E+F.PK3&filesize1=2";
    const std::string second = "A%26B%3DC%2BD%25E+F.PK3&filesize0=2&filename1=b.pk3&filesize1=4";
    const std::string files = request.body.substr(std::min(start.size(), request.body.size()));
    EXPECT_TRUE(files == first || files == second) << files;

    ASSERT_EQ(shell_.opened.size(), 1u);
    EXPECT_EQ(shell_.opened[0].toStdString(), "http://localhost:" + std::to_string(peer.port()) +
                                                  "/crewdock/sync.php?session=" + session +
                                                  "&version=2");
}

TEST_F(Window, OverIpv6TheServerIsNamedInBracketsInMessagesRequestAndAddresses) {
    games_.Write("a.pk3", "12");
    {
        // Bound but not listening: the connection is refused, and the message names the server.
        RawPeer nobody(RawPeer::Start::Bound, 0, RawPeer::Family::V6);
        auto form = MakeForm(CentralServer{"::1", nobody.port()});
        Child<QLineEdit>(*form, "path_to_ef2")->setText(QString::fromStdString(games_.str()));
        const testsupport::CapturedStderr diagnostics;
        Child<QPushButton>(*form, "doit")->click();
        ASSERT_TRUE(WaitForMessage(1, std::chrono::seconds(5)));
        EXPECT_EQ(shell_.messages[0].text, "Couldn't connect");
        const std::string why =
            "[::1]:" + std::to_string(nobody.port()) + ": the server refused the connection";
        EXPECT_EQ(shell_.messages[0].detail.toStdString(), why);
        EXPECT_EQ(diagnostics.text(), "packwarden: Couldn't connect: " + why + "\n");
    }
    shell_.messages.clear();

    // A server on ::1 alone, given as a player would give it.
    RawPeer peer(RawPeer::Family::V6);
    peer.Serve();
    const std::string server = "[::1]:" + std::to_string(peer.port());
    ScopedEnv env("PACKWARDEN_SERVER", "http://" + server + "/");
    std::ostringstream diagnostics;
    const std::optional<CentralServer> chosen = ServerForRun(shell_, diagnostics);
    ASSERT_TRUE(chosen) << diagnostics.str();
    auto form = MakeForm(*chosen);
    QTest::mouseClick(Child<QWidget>(*form, "Label3"), Qt::LeftButton);
    QTest::mouseClick(Child<QWidget>(*form, "Picture1"), Qt::LeftButton);
    EXPECT_EQ(shell_.opened,
              (std::vector<QString>{QString::fromStdString("http://" + server + "/crewdock/"),
                                    QString::fromStdString("http://" + server + "/")}));
    Child<QLineEdit>(*form, "path_to_ef2")->setText(QString::fromStdString(games_.str()));
    Child<QPushButton>(*form, "doit")->click();
    ASSERT_TRUE(WaitFor([&] { return shell_.ends > 0 || !shell_.messages.empty(); },
                        std::chrono::seconds(10)));
    ASSERT_TRUE(shell_.messages.empty()) << shell_.messages[0].detail.toStdString();
    ASSERT_TRUE(WaitFor([&] { return peer.finished(); }, std::chrono::seconds(5)));
    const ParsedRequest request = Split(peer.received());
    EXPECT_NE(request.head.find("\r\nHost: " + server + "\r\n"), std::string::npos) << request.head;
    EXPECT_EQ(request.body, "game=ef2&version=2&session=" + std::to_string(form->SessionNumber()) +
                                "&filename0=a.pk3&filesize0=2");
    ASSERT_EQ(shell_.opened.size(), 3u);
    EXPECT_EQ(shell_.opened[2].toStdString(), "http://" + server + "/crewdock/sync.php?session=" +
                                                  std::to_string(form->SessionNumber()) +
                                                  "&version=2");
}

TEST_F(Window, UnusableServerOverrideIsShownAtStart) {
    // A pasted value: its line end makes it unusable, and the central server must not stand in.
    ScopedEnv server("PACKWARDEN_SERVER", "127.0.0.1:8080\r\n");
    std::ostringstream diagnostics;
    EXPECT_FALSE(ServerForRun(shell_, diagnostics));
    ASSERT_EQ(shell_.messages.size(), 1u);
    EXPECT_EQ(shell_.messages[0].icon, Shell::Icon::Critical);
    const std::string shown = shell_.messages[0].text.toStdString();
    const std::string start = "PACKWARDEN_SERVER=\"127.0.0.1:8080\\r\\n\" cannot be used: ";
    EXPECT_EQ(shown.substr(0, start.size()), start);
    EXPECT_NE(shown.find("Accepted forms: host, host:port, http://host[:port]/"),
              std::string::npos);
    EXPECT_EQ(diagnostics.str(), "packwarden: " + shown + "\n");
}

TEST_F(Window, MissingFolderShowsItsMessageAndAPressAfterCorrectingItSendsOnTheOpenConnection) {
    games_.Write("a.pk3", "123");
    RawPeer peer;
    peer.Serve(true, "HTTP/1.0 200 OK\r\n\r\n");  // the list taken: the page opens
    // By name, as the central server is given.
    auto form = MakeForm(CentralServer{"localhost", peer.port()});
    QLineEdit* field = Child<QLineEdit>(*form, "path_to_ef2");
    QPushButton* doit = Child<QPushButton>(*form, "doit");
    field->setText(QString::fromStdString(games_.str() + "/none"));
    const testsupport::CapturedStderr diagnostics;
    doit->click();
    ASSERT_TRUE(WaitForMessage(1, std::chrono::seconds(5)));
    EXPECT_EQ(shell_.messages[0].text, "Couldn't open base folder");
    EXPECT_EQ(shell_.messages[0].icon, Shell::Icon::Critical);
    const std::string why = games_.str() + "/none/: no such folder, or it cannot be read";
    EXPECT_EQ(shell_.messages[0].detail.toStdString(), why);
    EXPECT_EQ(diagnostics.text(), "packwarden: Couldn't open base folder: " + why + "\n");
    EXPECT_TRUE(form->isVisible());
    EXPECT_EQ(shell_.ends, 0);
    EXPECT_TRUE(shell_.opened.empty());
    EXPECT_EQ(form->Socket().State(), StateConnected);
    EXPECT_TRUE(peer.received().empty());

    // The player corrects the folder and presses again: the connection still open carries it.
    field->setText(QString::fromStdString(games_.str()));
    ASSERT_TRUE(PressAgainAndSeeItThrough(*form, peer));
    EXPECT_EQ(peer.connections(), 1);
    EXPECT_EQ(Split(peer.received()).body,
              "game=ef2&version=2&session=" + std::to_string(form->SessionNumber()) +
                  "&filename0=a.pk3&filesize0=3");
}

TEST_F(Window, APressAfterTheServerDroppedTheIdleConnectionConnectsAnew) {
    games_.Write("a.pk3", "123");
    RawPeer peer;
    peer.Serve(true, {}, std::chrono::milliseconds(300));  // closes after 300 ms
    auto form = MakeForm(CentralServer{"localhost", peer.port()});
    QLineEdit* field = Child<QLineEdit>(*form, "path_to_ef2");
    field->setText(QString::fromStdString(games_.str() + "/none"));
    Child<QPushButton>(*form, "doit")->click();
    ASSERT_TRUE(WaitForMessage(1, std::chrono::seconds(5)));
    EXPECT_EQ(shell_.messages[0].text, "Couldn't open base folder");
    ASSERT_TRUE(WaitFor([&] { return peer.finished() && form->Socket().State() != StateConnected; },
                        std::chrono::seconds(5)));

    peer.Serve();
    field->setText(QString::fromStdString(games_.str()));
    ASSERT_TRUE(PressAgainAndSeeItThrough(*form, peer));
    EXPECT_EQ(peer.connections(), 2);
    EXPECT_NE(Split(peer.received()).body.find("&filename0=a.pk3&filesize0=3"), std::string::npos);
}

TEST_F(Window, EmptyFieldOrAFolderWithoutPackagesIsToldAndAnotherCanBeChosen) {
    RawPeer peer;
    peer.Serve();
    auto form = MakeForm(Loopback(peer.port()));
    QLineEdit* field = Child<QLineEdit>(*form, "path_to_ef2");
    ASSERT_EQ(field->text(), "");
    const testsupport::CapturedStderr diagnostics;
    Child<QPushButton>(*form, "doit")->click();
    ASSERT_EQ(shell_.messages.size(), 1u);  // at once: there is nothing to send
    EXPECT_EQ(shell_.messages[0].text, "Couldn't open base folder");
    const std::string looked = "No game found in " + prefix_.str() +
                               " (WINEPREFIX), ~/.wine, Steam's Proton prefixes, or Lutris's and "
                               "Bottles' prefixes; choose its base folder with Browse, or start "
                               "with WINEPREFIX=<the game's Wine prefix>";
    EXPECT_EQ(shell_.messages[0].detail.toStdString(), looked);
    EXPECT_EQ(diagnostics.text(), "packwarden: Couldn't open base folder: " + looked + "\n");
    EXPECT_EQ(form->Socket().State(), StateClosed);  // no server contacted for nothing

    // A folder without a package: said so, nothing posted, the window stays.
    games_.Write("readme.txt", "x");
    games_.Write("textures/a.pk3", "12");  // not in the folder itself
    shell_.pick = QString::fromStdString(games_.str());
    Child<QPushButton>(*form, "Browse")->click();
    Child<QPushButton>(*form, "doit")->click();
    ASSERT_TRUE(WaitForMessage(2, std::chrono::seconds(5)));
    EXPECT_EQ(shell_.messages[1].text, "Couldn't open base folder");
    EXPECT_EQ(shell_.messages[1].detail.toStdString(), "No .pk3 files in " + games_.str() + "/");
    EXPECT_TRUE(form->isVisible());
    EXPECT_EQ(shell_.ends, 0);
    EXPECT_TRUE(shell_.opened.empty());
    EXPECT_TRUE(peer.received().empty());

    // The player chooses the right one: the open connection carries the list.
    shell_.messages.erase(shell_.messages.begin());
    shell_.pick = QString::fromStdString(games_.str() + "/textures");
    Child<QPushButton>(*form, "Browse")->click();
    ASSERT_TRUE(PressAgainAndSeeItThrough(*form, peer));
    EXPECT_EQ(Split(peer.received()).body,
              "game=ef2&version=2&session=" + std::to_string(form->SessionNumber()) +
                  "&filename0=a.pk3&filesize0=2");
}

TEST_F(Window, BrowserThatFailsToOpenIsReportedWithTheAddress) {
    games_.Write("a.pk3", "1");
    RawPeer peer;
    peer.Serve();
    shell_.openSucceeds = false;
    auto form = MakeForm(Loopback(peer.port()));
    Child<QLineEdit>(*form, "path_to_ef2")->setText(QString::fromStdString(games_.str()));
    Child<QPushButton>(*form, "doit")->click();
    ASSERT_TRUE(WaitForMessage(1, std::chrono::seconds(5)));
    const QString address = QString("http://127.0.0.1:%1/crewdock/sync.php?session=%2&version=2")
                                .arg(peer.port())
                                .arg(form->SessionNumber());
    EXPECT_EQ(shell_.messages[0].text, "Couldn't launch browser");
    EXPECT_EQ(shell_.messages[0].detail, address);
    EXPECT_EQ(shell_.opened, std::vector<QString>{address});
    EXPECT_EQ(shell_.ends, 0);
    EXPECT_TRUE(form->isVisible());
    // The request itself went out whole.
    ASSERT_TRUE(WaitFor([&] { return peer.finished(); }, std::chrono::seconds(5)));
    EXPECT_EQ(Split(peer.received()).tail, "\r\n");

    // A second press syncs again on a new connection, under a new session.
    const std::size_t first = peer.received().size();
    shell_.openSucceeds = true;
    peer.Serve();
    ASSERT_TRUE(PressAgainAndSeeItThrough(*form, peer));
    EXPECT_EQ(peer.connections(), 2);
    EXPECT_EQ(Split(peer.received().substr(first)).body,
              "game=ef2&version=2&session=" + std::to_string(form->SessionNumber()) +
                  "&filename0=a.pk3&filesize0=1");
    ASSERT_EQ(shell_.opened.size(), 2u);
    EXPECT_EQ(shell_.opened[1].toStdString(),
              QString("http://127.0.0.1:%1/crewdock/sync.php?session=%2&version=2")
                  .arg(peer.port())
                  .arg(form->SessionNumber())
                  .toStdString());
}

// Fills the game folder with enough long names that the request (about 7 MB encoded) is far
// more than the loopback buffers take in one call.
void MakeHugeInventory(const TempDir& games) {
    const std::string longName = std::string(240, '&') + ".pk3";
    for (int i = 0; i < 9000; ++i) {
        const std::string name = std::to_string(i) + longName;
        const int fd = ::open((games.str() + "/" + name).c_str(), O_CREAT | O_WRONLY, 0644);
        ASSERT_GE(fd, 0);
        ::close(fd);
    }
}

TEST_F(Window, RequestLargerThanTheNetworkTakesAtOnceArrivesWholeBeforeTheEnd) {
    MakeHugeInventory(games_);
    // A small window: the rest goes out as the peer reads.
    RawPeer peer(RawPeer::Start::Listening, 4096);
    peer.Serve();
    auto form = MakeForm(Loopback(peer.port()));
    Child<QLineEdit>(*form, "path_to_ef2")->setText(QString::fromStdString(games_.str()));
    Child<QPushButton>(*form, "doit")->click();
    ASSERT_TRUE(WaitFor([&] { return shell_.ends > 0 || !shell_.messages.empty(); },
                        std::chrono::seconds(30)));
    ASSERT_TRUE(shell_.messages.empty()) << shell_.messages[0].text.toStdString();
    ASSERT_TRUE(WaitFor([&] { return peer.finished(); }, std::chrono::seconds(10)));
    const std::string received = peer.received();
    const ParsedRequest request = Split(received);
    EXPECT_GT(received.size(), 6000000u);
    EXPECT_EQ(request.tail, "\r\n");
    EXPECT_NE(request.body.find("&filename8999="), std::string::npos);
    EXPECT_EQ(request.head.size() + request.body.size() + 2, received.size());
}

// Certificates made once for the https tests: an authority the process trusts through
// SSL_CERT_FILE (and nothing else), a chain for localhost from it, and leaves that fail.
struct Pki {
    TempDir dir;
    bool made = std::system(("sh '" PACKWARDEN_TLS_PKI_SCRIPT "' '" + dir.str() + "' >'" +
                             dir.str() + "/make.log' 2>&1")
                                .c_str()) == 0;
    std::string File(const char* name) const { return dir.str() + "/" + name; }
};

// A secure server of our own component on 127.0.0.1, presenting `chain`: keeps the plaintext
// of the connections it accepts, and sees their closes and failures.
class TlsPeer final : public CSocketEvents {
  public:
    TlsPeer(const std::string& chain, const std::string& key) {
        listener_ = CSocket::Create();
        listener_->SetOwner(this);
        listener_->Secure(true);
        listener_->SetCertificate(chain, key);
        listener_->Bind(0, "127.0.0.1");
        listener_->Listen();
        sockaddr_in address{};
        socklen_t length = sizeof address;
        ::getsockname(listener_->SocketHandle(), reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
    }
    ~TlsPeer() override {
        listener_->SetOwner(nullptr);
        if (connection_) {
            connection_->SetOwner(nullptr);
        }
    }
    TlsPeer(const TlsPeer&) = delete;
    TlsPeer& operator=(const TlsPeer&) = delete;

    uint16_t port() const { return port_; }
    const std::string& received() const { return received_; }
    bool finished() const { return finished_; }
    int failures() const { return failures_; }

  private:
    void OnConnectionRequest(int32_t requestID) override {
        connection_ = CSocket::Create();
        connection_->SetOwner(this);
        connection_->Accept(requestID);
    }
    void OnDataArrival(int32_t) override {
        Variant data;
        connection_->GetData(data);
        received_ += data.WireView().value_or(std::string_view());
    }
    void OnClose() override {
        finished_ = true;
        connection_->CloseSocket();
    }
    void OnError(int16_t, std::string&, int32_t, const std::string&, const std::string&, int32_t,
                 bool&) override {
        ++failures_;
        finished_ = true;
    }

    std::shared_ptr<CSocket> listener_;
    std::shared_ptr<CSocket> connection_;
    uint16_t port_ = 0;
    std::string received_;
    bool finished_ = false;
    int failures_ = 0;
};

class SecureWindow : public Window {
  protected:
    static void SetUpTestSuite() {
        Window::SetUpTestSuite();
        static const Pki made;
        pki_ = &made;
        ::setenv("SSL_CERT_FILE", made.File("ca.pem").c_str(), 1);
        ::setenv("SSL_CERT_DIR", made.dir.str().c_str(), 1);
    }
    void SetUp() override { ASSERT_TRUE(pki_->made) << "no certificates: see make.log"; }

    static inline const Pki* pki_ = nullptr;
};

TEST_F(SecureWindow, OverHttpsTheListGoesEncryptedAndTheHttpsPagesOpen) {
    games_.Write("a.pk3", "12");
    TlsPeer peer(pki_->File("chain.pem"), pki_->File("server.key"));
    const std::string server = "localhost:" + std::to_string(peer.port());
    ScopedEnv env("PACKWARDEN_SERVER", "HTTPS://" + server + "/");
    std::ostringstream diagnostics;
    const std::optional<CentralServer> chosen = ServerForRun(shell_, diagnostics);
    ASSERT_TRUE(chosen) << diagnostics.str();
    auto form = MakeForm(*chosen);
    QTest::mouseClick(Child<QWidget>(*form, "Label3"), Qt::LeftButton);
    QTest::mouseClick(Child<QWidget>(*form, "Picture1"), Qt::LeftButton);
    Child<QLineEdit>(*form, "path_to_ef2")->setText(QString::fromStdString(games_.str()));
    Child<QPushButton>(*form, "doit")->click();
    ASSERT_TRUE(WaitFor([&] { return shell_.ends > 0 || !shell_.messages.empty(); },
                        std::chrono::seconds(10)));
    ASSERT_TRUE(shell_.messages.empty()) << shell_.messages[0].detail.toStdString();
    EXPECT_EQ(shell_.ends, 1);

    // The server read the whole request in plaintext, the Host as over http, then the close.
    ASSERT_TRUE(WaitFor([&] { return peer.finished(); }, std::chrono::seconds(5)));
    EXPECT_EQ(peer.failures(), 0);
    const ParsedRequest request = Split(peer.received());
    EXPECT_EQ(request.head.substr(0, request.head.find("User-Agent")),
              "POST /crewdock/sync_session.php HTTP/1.0\r\nHost: " + server + "\r\n");
    EXPECT_EQ(request.body, "game=ef2&version=2&session=" + std::to_string(form->SessionNumber()) +
                                "&filename0=a.pk3&filesize0=2");
    EXPECT_EQ(request.tail, "\r\n");
    const std::string site = "https://" + server;
    EXPECT_EQ(shell_.opened,
              (std::vector<QString>{
                  QString::fromStdString(site + "/crewdock/"), QString::fromStdString(site + "/"),
                  QString::fromStdString(site + "/crewdock/sync.php?session=" +
                                         std::to_string(form->SessionNumber()) + "&version=2")}));
}

TEST_F(SecureWindow, ACertificateThatFailsVerificationStopsItWithWhyAndNothingIsSent) {
    games_.Write("a.pk3", "12");
    const struct {
        const char* certificate;
        const char* why;
    } cases[] = {
        {"untrusted.pem", "the server's certificate is not trusted"},
        {"wrong.pem", "the server's certificate is for another name"},
        {"expired.pem", "the server's certificate has expired or is not valid yet"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.certificate);
        shell_.messages.clear();
        TlsPeer peer(pki_->File(c.certificate), pki_->File("server.key"));
        auto form = MakeForm(CentralServer{"localhost", peer.port(), true});
        Child<QLineEdit>(*form, "path_to_ef2")->setText(QString::fromStdString(games_.str()));
        const testsupport::CapturedStderr diagnostics;
        Child<QPushButton>(*form, "doit")->click();
        ASSERT_TRUE(WaitForMessage(1, std::chrono::seconds(5)));
        EXPECT_EQ(shell_.messages[0].text, "Couldn't connect");
        const std::string detail = "localhost:" + std::to_string(peer.port()) + ": " + c.why;
        EXPECT_EQ(shell_.messages[0].detail.toStdString(), detail);
        EXPECT_EQ(diagnostics.text(), "packwarden: Couldn't connect: " + detail + "\n");
        // The server saw the handshake fail and not one byte of the list; no page opened.
        EXPECT_TRUE(WaitFor([&] { return peer.finished(); }, std::chrono::seconds(5)));
        EXPECT_EQ(peer.received(), "");
        EXPECT_TRUE(shell_.opened.empty());
        EXPECT_EQ(shell_.ends, 0);
        EXPECT_EQ(shell_.messages.size(), 1u);
    }

    // A plain http server given as https: it answers the greeting in plaintext, and gets
    // nothing but that greeting.
    shell_.messages.clear();
    RawPeer plain;
    plain.Serve(true, "HTTP/1.0 400 Bad Request\r\nContent-Length: 0\r\n\r\n");
    auto form = MakeForm(CentralServer{"127.0.0.1", plain.port(), true});
    Child<QLineEdit>(*form, "path_to_ef2")->setText(QString::fromStdString(games_.str()));
    Child<QPushButton>(*form, "doit")->click();
    ASSERT_TRUE(WaitForMessage(1, std::chrono::seconds(5)));
    EXPECT_EQ(shell_.messages[0].text, "Couldn't connect");
    EXPECT_EQ(shell_.messages[0].detail.toStdString(),
              "127.0.0.1:" + std::to_string(plain.port()) + ": the server does not speak https");
    ASSERT_TRUE(WaitFor([&] { return plain.finished(); }, std::chrono::seconds(5)));
    const std::string greeting = plain.received();
    ASSERT_GE(greeting.size(), 3u);
    EXPECT_EQ(greeting.substr(0, 2), "\x16\x03");  // a handshake record, and only that
    EXPECT_EQ(greeting.find("POST"), std::string::npos);
    EXPECT_EQ(greeting.find("a.pk3"), std::string::npos);
    EXPECT_TRUE(shell_.opened.empty());
}

}  // namespace
}  // namespace packwarden
