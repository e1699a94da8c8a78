// SPDX-License-Identifier: MIT
// The install-path lookup on real Wine registry files written here.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "Module1.h"
#include "TempDir.h"
#include "posix/WinePrefix.h"

using packwarden::testsupport::ScopedEnv;
using packwarden::testsupport::TempDir;

namespace {

const std::string Header =
    "WINE REGISTRY Version 2\n;; All keys relative to \\\\Machine\n\n"
    "#arch=win32\n\n";
const std::string GameKey =
    "[Software\\\\Activision\\\\Elite Force II] 1700000000\n"
    "#time=1da1b2c3d4e5f60\n";
const std::string GamePath = "software\\activision\\elite force ii";

class Registry : public ::testing::Test {
  protected:
    void Write(const std::string& content) { prefix_.Write("system.reg", content); }
    // Reads a value of the game's key; "untouched" when the result was left alone.
    bool Read(const std::string& value, std::string& result) {
        result = "untouched";
        return Module1::ReadRegistryValue(Module1::HKEY_LOCAL_MACHINE, GamePath, value, result);
    }

    TempDir prefix_;
    ScopedEnv env_{"WINEPREFIX", prefix_.str()};
};

TEST_F(Registry, ReadsTextWithKeyAndValueNamesInAnyCase) {
    Write(Header + "[Software\\\\Other] 1\n\"InstallPath\"=\"D:\\\\Wrong\"\n\n" + GameKey +
          "\"InstallPath\"=\"C:\\\\Program Files\\\\Activision\\\\EF2\"\n");
    std::string result;
    EXPECT_TRUE(Read("installpath", result));
    EXPECT_EQ(result, "C:\\Program Files\\Activision\\EF2");
    EXPECT_TRUE(Module1::ReadRegistryValue(Module1::HKEY_LOCAL_MACHINE,
                                           "SOFTWARE\\ACTIVISION\\ELITE FORCE II", "INSTALLPATH",
                                           result));
    EXPECT_EQ(result, "C:\\Program Files\\Activision\\EF2");
}

TEST_F(Registry, DecodesStringEscapes) {
    Write(Header + GameKey +
          "\"v\"=\"a\\\\b\\\"c\\nd\\x00e9\\x4e2d\\101\\xd83d\\xde00\\xd800z\"\n"
          "\"Quote\\\"Name\"=\"q\"\n");
    std::string result;
    ASSERT_TRUE(Read("v", result));
    EXPECT_EQ(result,
              "a\\b\"c\nd\xC3\xA9\xE4\xB8\xAD"
              "A\xF0\x9F\x98\x80?z");
    ASSERT_TRUE(Read("quote\"name", result));
    EXPECT_EQ(result, "q");
}

TEST_F(Registry, DefaultValueIsAt) {
    Write(Header + GameKey + "@=\"default text\"\n\"x\"=\"named\"\n");
    std::string result;
    ASSERT_TRUE(Read("", result));
    EXPECT_EQ(result, "default text");
    ASSERT_TRUE(Read("@", result));
    EXPECT_EQ(result, "default text");
}

TEST_F(Registry, TypesOtherThanTextAndDword) {
    Write(Header + GameKey +
          "\"Expand\"=str(2):\"%ProgramFiles%\\\\EF2\"\n"
          "\"Answer\"=dword:0000002a\n"
          "\"Big\"=dword:ffffffff\n"
          "\"Blob\"=hex:01,02,03,\\\n  04,05\n"
          "\"HexText\"=hex(1):41,00,42,00,00,00\n"
          "\"HexDword\"=hex(4):2a,01,00,00\n"
          "\"Empty\"=hex(1):\n"
          "\"EmptyText\"=\"\"\n");
    std::string result;
    EXPECT_TRUE(Read("Expand", result));
    EXPECT_EQ(result, "untouched");
    EXPECT_TRUE(Read("Answer", result));
    EXPECT_EQ(result, "42");
    EXPECT_TRUE(Read("Big", result));
    EXPECT_EQ(result, "4294967295");
    EXPECT_TRUE(Read("Blob", result));
    EXPECT_EQ(result, "untouched");
    EXPECT_TRUE(Read("HexText", result));
    EXPECT_EQ(result, "AB");
    EXPECT_TRUE(Read("HexDword", result));
    EXPECT_EQ(result, "298");
    EXPECT_TRUE(Read("Empty", result));
    EXPECT_EQ(result, "");
    EXPECT_TRUE(Read("EmptyText", result));
    EXPECT_EQ(result, "");
}

TEST_F(Registry, CommentsContinuationsAndOtherKeysDoNotConfuse) {
    Write(Header + GameKey +
          "; a comment\n#class=\"x\"\n"
          "\"Blob\"=hex:01,02,\\\n  \"InstallPath\"=\"continuation, not a value\"\n"
          "[Software\\\\Activision\\\\Elite Force II\\\\Sub] 1\n\"InstallPath\"=\"sub key\"\n");
    std::string result;
    EXPECT_FALSE(Read("InstallPath", result));
    EXPECT_EQ(result, "untouched");
}

TEST_F(Registry, OneBrokenHeaderOrLineAnywhereIsSkipped) {
    Write(Header +
          "[Software\\\\Broken\n"
          "\"x\"=\"unterminated\n"
          "a stray line\n"
          "[Software\\\\Other] 1\n\"Bad\"=hex:zz,\\\n  \"InstallPath\"=\"other key's data\"\n" +
          GameKey +
          "\"Broken\"=dword:xyz\n"
          "\"Trailing\"=\"x\" y\n"
          "\"Name\n"
          "\"InstallPath\"=\"C:\\\\EF2\"\n"
          "[Software\\\\Later\\\\\n"
          "\"After\"=\"a\"\n");
    std::string result;
    ASSERT_TRUE(Read("InstallPath", result));
    EXPECT_EQ(result, "C:\\EF2");

    // A header that cannot be read still ends the key before it: what follows is no value of
    // the game's key.
    Write(Header + GameKey + "[Software\\\\Broken\n\"InstallPath\"=\"C:\\\\Elsewhere\"\n");
    EXPECT_FALSE(Read("InstallPath", result));
    EXPECT_EQ(result, "untouched");
}

TEST_F(Registry, IndentedLinesAreRead) {
    Write(Header + "  [Software\\\\Activision\\\\Elite Force II] 1\n" +
          "\t\"Version\"=dword:00000002\n"
          "    \"InstallPath\"=\"C:\\\\EF2\"\n"
          "  \"Blob\"=hex:01,\\\n    02\n");
    std::string result;
    ASSERT_TRUE(Read("InstallPath", result));
    EXPECT_EQ(result, "C:\\EF2");
    ASSERT_TRUE(Read("Version", result));
    EXPECT_EQ(result, "2");
}

TEST_F(Registry, CrLfLineEnds) {
    Write(
        "WINE REGISTRY Version 2\r\n\r\n[Software\\\\Activision\\\\Elite Force II] 1\r\n"
        "\"InstallPath\"=\"C:\\\\EF2\"\r\n");
    std::string result;
    ASSERT_TRUE(Read("InstallPath", result));
    EXPECT_EQ(result, "C:\\EF2");
}

TEST_F(Registry, MissingKeyValueOrHiveLeavesResultUntouched) {
    Write(Header + GameKey + "\"Other\"=\"x\"\n");
    std::string result;
    EXPECT_FALSE(Read("InstallPath", result));
    EXPECT_EQ(result, "untouched");
    result = "untouched";
    EXPECT_FALSE(
        Module1::ReadRegistryValue(Module1::HKEY_LOCAL_MACHINE, "software\\nothing", "x", result));
    EXPECT_FALSE(Module1::ReadRegistryValue(Module1::HKEY_CURRENT_USER, GamePath, "Other", result));
    EXPECT_EQ(result, "untouched");
}

TEST_F(Registry, FindsTheKeyOfA32BitProgramOnA64BitPrefix) {
    Write(Header +
          "[Software\\\\Wow6432Node\\\\Activision\\\\Elite Force II] 1\n"
          "\"InstallPath\"=\"C:\\\\EF2\"\n");
    std::string result;
    ASSERT_TRUE(Read("InstallPath", result));
    EXPECT_EQ(result, "C:\\EF2");
}

TEST_F(Registry, ValueSizesCountTheTerminatingZeroByte) {
    const std::string e = "\xC3\xA9";  // two bytes in the 8-bit text
    std::string e511, e512;
    for (int i = 0; i < 511; ++i) {
        e511 += e;
    }
    e512 = e511 + e;
    std::string blob1024 = "hex:", blob1025;
    for (int i = 0; i < 1024; ++i) {
        blob1024 += (i == 0 ? "" : ",") + std::string("ab");
    }
    blob1025 = blob1024 + ",ab";
    Write(Header + GameKey + "\"v1023\"=\"" + std::string(1023, 'a') + "\"\n" + "\"v1024\"=\"" +
          std::string(1024, 'a') + "\"\n" + "\"v1025\"=\"" + std::string(1025, 'a') + "\"\n" +
          "\"e511\"=\"" + e511 + "\"\n" + "\"e512\"=\"" + e512 + "\"\n" + "\"b1024\"=" + blob1024 +
          "\n" + "\"b1025\"=" + blob1025 + "\n");
    std::string result;
    ASSERT_TRUE(Read("v1023", result));
    EXPECT_EQ(result, std::string(1023, 'a'));
    EXPECT_FALSE(Read("v1024", result));
    EXPECT_EQ(result, "untouched");
    EXPECT_FALSE(Read("v1025", result));
    ASSERT_TRUE(Read("e511", result));
    EXPECT_EQ(result, e511);
    EXPECT_FALSE(Read("e512", result));
    EXPECT_TRUE(Read("b1024", result));
    EXPECT_FALSE(Read("b1025", result));
}

TEST_F(Registry, BrokenFilesGiveFalse) {
    static constexpr char GarbageBytes[] = "WINE REGISTRY Version 2\n\0\xff\xfe[\x01\n";
    const std::string Garbage(GarbageBytes, sizeof GarbageBytes - 1);
    const std::vector<std::string> broken = {
        "",
        "REGEDIT4\n" + GameKey + "\"InstallPath\"=\"C:\\\\EF2\"\n",
        Header + GameKey + "\"InstallPath\"=\"C:\\\\EF2\n",
        Header + GameKey + "\"InstallPath\"=\"C:\\\\EF2\" trailing\n",
        Header + GameKey + "\"InstallPath\"C:\n",
        Header + GameKey + "\"InstallPath\"=dword:xyz\n",
        Header + GameKey + "\"InstallPath\"=dword:123456789\n",
        Header + GameKey + "\"InstallPath\"=hex:0g\n",
        Header + GameKey + "\"InstallPath\"=hex:01,\\\n",
        Header + GameKey + "\"InstallPath\"=str(2\"x\"\n",
        Header + GameKey + "\"InstallPath\"=unknown:12\n",
        Header + "[Software\\\\Activision\\\\Elite Force II\n\"InstallPath\"=\"x\"\n",
        Header + GameKey + "\"InstallPath",
        Garbage,
    };
    for (const std::string& content : broken) {
        Write(content);
        std::string result;
        EXPECT_FALSE(Read("InstallPath", result)) << content;
        EXPECT_EQ(result, "untouched");
    }
}

TEST_F(Registry, MissingOrUnusableFile) {
    std::string result;
    EXPECT_FALSE(Read("InstallPath", result));  // no system.reg at all
    std::filesystem::create_directory(prefix_.path() / "system.reg");
    EXPECT_FALSE(Read("InstallPath", result));
    EXPECT_EQ(result, "untouched");
    ScopedEnv nowhere("WINEPREFIX", prefix_.str() + "/does/not/exist");
    EXPECT_FALSE(Read("InstallPath", result));
}

TEST(WinePrefix, FromEnvironmentOrHome) {
    {
        ScopedEnv env("WINEPREFIX", "/opt/games/prefix");
        EXPECT_EQ(Module1::WinePrefix(), "/opt/games/prefix");
    }
    ScopedEnv empty("WINEPREFIX", "");
    ScopedEnv home("HOME", "/home/player");
    EXPECT_EQ(Module1::WinePrefix(), "/home/player/.wine");
}

class PathMapping : public ::testing::Test {
  protected:
    void SetUp() override {
        std::filesystem::create_directories(prefix_.path() / "drive_c" / "Games" / "EF2");
        std::filesystem::create_directories(prefix_.path() / "dosdevices");
        std::filesystem::create_directory_symlink("../drive_c",
                                                  prefix_.path() / "dosdevices" / "c:");
        game_ = std::filesystem::canonical(prefix_.path() / "drive_c" / "Games" / "EF2").string();
        driveC_ = std::filesystem::canonical(prefix_.path() / "drive_c").string();
    }
    TempDir prefix_;
    std::string game_;
    std::string driveC_;
};

TEST_F(PathMapping, DriveLetterGoesThroughDosdevices) {
    EXPECT_EQ(Module1::UnixPathFromWindows("C:\\Games\\EF2", prefix_.str()), game_);
    EXPECT_EQ(Module1::UnixPathFromWindows("c:\\GAMES\\ef2\\", prefix_.str()), game_);
    EXPECT_EQ(Module1::UnixPathFromWindows("C:\\", prefix_.str()), driveC_);
    EXPECT_EQ(Module1::UnixPathFromWindows("C:\\Games\\Missing\\Sub", prefix_.str()),
              driveC_ + "/Games/Missing/Sub");
}

TEST_F(PathMapping, DotDotStopsAtTheDrivesRoot) {
    EXPECT_EQ(Module1::UnixPathFromWindows("C:\\..\\..\\..\\Games\\EF2", prefix_.str()), game_);
    EXPECT_EQ(Module1::UnixPathFromWindows("C:\\Games\\..\\..\\..", prefix_.str()), driveC_);
    EXPECT_EQ(Module1::UnixPathFromWindows("C:\\Games\\.\\Gone\\..\\EF2\\.", prefix_.str()), game_);
    EXPECT_EQ(Module1::UnixPathFromWindows("C:..\\..\\Games", prefix_.str()), driveC_ + "/Games");
}

TEST_F(PathMapping, ExtendedLengthPrefix) {
    EXPECT_EQ(Module1::UnixPathFromWindows("\\\\?\\C:\\Games\\EF2", prefix_.str()), game_);
    EXPECT_EQ(Module1::UnixPathFromWindows("\\\\?\\c:\\games\\ef2\\", prefix_.str()), game_);
    EXPECT_EQ(Module1::UnixPathFromWindows("\\\\.\\C:\\Games\\EF2", prefix_.str()), game_);
    EXPECT_EQ(Module1::UnixPathFromWindows("\\\\?\\C:\\..\\Games\\EF2", prefix_.str()), game_);
    EXPECT_EQ(Module1::UnixPathFromWindows("\\\\?\\UNC\\server\\share\\", prefix_.str()),
              "//server/share");
}

TEST_F(PathMapping, UnknownDriveAndPathsWithoutDrive) {
    EXPECT_EQ(Module1::UnixPathFromWindows("D:\\Games\\EF2", prefix_.str()),
              prefix_.str() + "/dosdevices/d:/Games/EF2");
    EXPECT_EQ(Module1::UnixPathFromWindows("\\\\server\\share\\", prefix_.str()), "//server/share");
    EXPECT_EQ(Module1::UnixPathFromWindows("", prefix_.str()), "");
}

TEST_F(PathMapping, InstallBaseFolderAppendsBase) {
    const TempDir home;  // nothing of the player's own
    ScopedEnv homeEnv("HOME", home.str());
    ScopedEnv env("WINEPREFIX", prefix_.str());
    EXPECT_EQ(Module1::InstallBaseFolder(), "");  // no registry yet: the field stays empty
    prefix_.Write("system.reg", Header + GameKey + "\"InstallPath\"=\"C:\\\\Games\\\\EF2\"\n");
    EXPECT_EQ(Module1::InstallBaseFolder(), game_ + "/base");
    prefix_.Write("system.reg", Header + GameKey + "\"InstallPath\"=\"\"\n");
    EXPECT_EQ(Module1::InstallBaseFolder(), "");  // an empty path names no folder
}

// The usual places a player's game lives in, under a home folder made here.
class GameSearch : public ::testing::Test {
  protected:
    // A Wine prefix at `prefix` (below the home folder): its drive C:, and a registry that names
    // the game at C:\<folder> when `folder` is not empty, else one without the game's key.
    std::string MakePrefix(const std::string& prefix, const std::string& folder) {
        const std::filesystem::path root = home_.path() / prefix;
        std::filesystem::create_directories(root / "drive_c");
        std::filesystem::create_directories(root / "dosdevices");
        std::filesystem::create_directory_symlink("../drive_c", root / "dosdevices" / "c:");
        if (folder.empty()) {
            home_.Write(prefix + "/system.reg", Header + "[Software\\\\Other] 1\n\"v\"=\"x\"\n");
            return {};
        }
        std::filesystem::create_directories(root / "drive_c" / folder / "base");
        home_.Write(prefix + "/system.reg",
                    Header + GameKey + "\"InstallPath\"=\"C:\\\\" + folder + "\"\n");
        return std::filesystem::canonical(root / "drive_c" / folder).string() + "/base";
    }

    TempDir home_;
    ScopedEnv homeEnv_{"HOME", home_.str()};
    ScopedEnv wineEnv_{"WINEPREFIX", ""};
};

TEST_F(GameSearch, NothingAnywhereLeavesTheFieldEmptyAndSaysWhereItLooked) {
    MakePrefix(".wine", "");  // a prefix without the game
    EXPECT_EQ(Module1::InstallBaseFolder(), "");
    EXPECT_EQ(Module1::NoGameFound(),
              "No game found in ~/.wine, Steam's Proton prefixes, or Lutris's and Bottles' "
              "prefixes; choose its base folder with Browse, or start with "
              "WINEPREFIX=<the game's Wine prefix>");
    ScopedEnv chosen("WINEPREFIX", home_.str() + "/chosen");
    EXPECT_EQ(Module1::InstallBaseFolder(), "");
    EXPECT_EQ(Module1::NoGameFound().rfind(
                  "No game found in " + home_.str() + "/chosen (WINEPREFIX), ~/.wine, Steam's", 0),
              0u)
        << Module1::NoGameFound();
}

TEST_F(GameSearch, ProtonPrefixesOfSteamAndOfItsListedLibrariesAreFound) {
    // Steam's own library: one game without ours, then ours, by the order of their numbers.
    MakePrefix(".steam/steam/steamapps/compatdata/1000/pfx", "");
    const std::string proton =
        MakePrefix(".steam/steam/steamapps/compatdata/2000/pfx", "Program Files/EF2");
    EXPECT_EQ(Module1::InstallBaseFolder(), proton);

    // ~/.wine comes first when it names the game; a WINEPREFIX that does not is passed over.
    const std::string wine = MakePrefix(".wine", "EF2");
    ScopedEnv elsewhere("WINEPREFIX", home_.str() + "/.steam/steam/steamapps/compatdata/1000/pfx");
    EXPECT_EQ(Module1::InstallBaseFolder(), wine);
    {
        ScopedEnv chosen("WINEPREFIX", home_.str() + "/.steam/steam/steamapps/compatdata/2000/pfx");
        EXPECT_EQ(Module1::InstallBaseFolder(), proton);  // the player's choice first
    }
    std::filesystem::remove_all(home_.path() / ".wine");
    std::filesystem::remove_all(home_.path() / ".steam/steam/steamapps/compatdata/2000");

    // A second library on another disk, listed in the newer form.
    const std::string library = home_.str() + "/disk two/SteamLibrary";
    home_.Write(".steam/steam/steamapps/libraryfolders.vdf",
                "\"libraryfolders\"\n{\n\t\"0\"\n\t{\n\t\t\"path\"\t\t\"" + home_.str() +
                    "/.steam/steam\"\n\t\t\"apps\"\n\t\t{\n\t\t\t\"9\"\t\t\"1\"\n\t\t}\n\t}\n"
                    "\t\"1\"\n\t{\n\t\t\"path\"\t\t\"" +
                    library + "\"\n\t\t\"label\"\t\t\"\"\n\t}\n}\n");
    const std::string other =
        MakePrefix("disk two/SteamLibrary/steamapps/compatdata/3000/pfx", "Games/EF2");
    EXPECT_EQ(Module1::InstallBaseFolder(), other);

    EXPECT_EQ(Module1::SteamLibraryFolders("\"LibraryFolders\" { \"contentstatsid\" \"1\" "
                                           "\"1\" \"D:\\\\Steam \\\"Lib\\\"\" }"),
              std::vector<std::string>{"D:\\Steam \"Lib\""});  // the older form
    EXPECT_TRUE(Module1::SteamLibraryFolders("\"path\" \"/top/level/is/no/entry\"").empty());
}

TEST_F(GameSearch, LutrisAndBottlesPrefixesAreFound) {
    MakePrefix("Games/some-other-game", "");
    const std::string lutris = MakePrefix("Games/star-trek-elite-force-ii", "EF2");
    EXPECT_EQ(Module1::InstallBaseFolder(), lutris);
    std::filesystem::remove_all(home_.path() / "Games");
    const std::string flatpak =
        MakePrefix(".var/app/com.usebottles.bottles/data/bottles/bottles/Games", "EF2");
    EXPECT_EQ(Module1::InstallBaseFolder(), flatpak);
    const std::string bottles = MakePrefix(".local/share/bottles/bottles/EF2", "Activision/EF2");
    EXPECT_EQ(Module1::InstallBaseFolder(), bottles);  // the native one before the Flatpak
}

}  // namespace
