// SPDX-License-Identifier: MIT
// The install-path lookup and the package listing on Windows' own calls (run under Wine).
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "Inventory.h"
#include "Module1.h"
#include "win32/Utf8.h"

namespace packwarden {
namespace {

constexpr uint32_t LocalMachine = 0x80000002;

// A key of this process's own below HKLM\Software, in one view of the registry, removed with
// everything in it.
class ScopedKey {
  public:
    ScopedKey(const std::wstring& path, REGSAM view) : path_(path), view_(view) {
        HKEY key = nullptr;
        created_ =
            ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0,
                              KEY_ALL_ACCESS | view, nullptr, &key, nullptr) == ERROR_SUCCESS;
        key_ = key;
    }
    ~ScopedKey() {
        if (key_ != nullptr) {
            ::RegCloseKey(key_);
        }
        ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, path_.c_str(), view_, 0);
    }
    bool created() const { return created_; }
    void Set(const std::wstring& name, DWORD type, const void* data, std::size_t size) {
        ASSERT_EQ(::RegSetValueExW(key_, name.empty() ? nullptr : name.c_str(), 0, type,
                                   static_cast<const BYTE*>(data), static_cast<DWORD>(size)),
                  ERROR_SUCCESS);
    }
    void SetText(const std::wstring& name, const std::wstring& text, DWORD type = REG_SZ) {
        Set(name, type, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
    }

  private:
    std::wstring path_;
    REGSAM view_;
    HKEY key_ = nullptr;
    bool created_ = false;
};

std::wstring TestKeyPath(const wchar_t* name) {
    return L"Software\\PackwardenTest\\" + std::to_wstring(::GetCurrentProcessId()) + L"\\" + name;
}

std::string Utf8(const std::wstring& text) {
    return Utf8FromWide(text);
}

TEST(Registry, ThirtyTwoBitViewFirstThenTheNativeOne) {
    const std::wstring path = TestKeyPath(L"Views");
    ScopedKey native(path, KEY_WOW64_64KEY);
    ASSERT_TRUE(native.created());
    native.SetText(L"InstallPath", L"C:\\Native");
    native.SetText(L"OnlyNative", L"here");
    std::string result;
    EXPECT_TRUE(Module1::ReadRegistryValue(LocalMachine, Utf8(path), "installpath", result));
    EXPECT_EQ(result, "C:\\Native");

    ScopedKey wow(path, KEY_WOW64_32KEY);
    ASSERT_TRUE(wow.created());
    wow.SetText(L"InstallPath", L"C:\\Program Files (x86)\\EF2");
    result.clear();
    EXPECT_TRUE(Module1::ReadRegistryValue(LocalMachine, Utf8(path), "INSTALLPATH", result));
    EXPECT_EQ(result, "C:\\Program Files (x86)\\EF2");
    // A value the 32-bit key lacks is still found in the native one.
    EXPECT_TRUE(Module1::ReadRegistryValue(LocalMachine, Utf8(path), "OnlyNative", result));
    EXPECT_EQ(result, "here");
}

TEST(Registry, TypesSizesAndWhatIsMissing) {
    const std::wstring path = TestKeyPath(L"Types");
    ScopedKey key(path, KEY_WOW64_32KEY);
    ASSERT_TRUE(key.created());
    key.SetText(L"Text", L"C:\\Spiele\\\u00c9lite \u2713");
    const DWORD number = 0x01020304;
    key.Set(L"Number", REG_DWORD, &number, sizeof number);
    key.SetText(L"Expand", L"%ProgramFiles%\\EF2", REG_EXPAND_SZ);
    const wchar_t unterminated[] = {L'a', L'b', L'c'};
    key.Set(L"NoZero", REG_SZ, unterminated, sizeof unterminated);
    key.Set(L"Empty", REG_SZ, nullptr, 0);
    key.SetText(L"", L"default");
    // 1023 characters and the terminating zero: 1024 bytes as UTF-8, the most a value may take.
    key.SetText(L"Longest", std::wstring(1023, L'x'));
    key.SetText(L"TooLong", std::wstring(1024, L'x'));
    // Two bytes each as UTF-8: 512 characters and the zero are 1025 bytes.
    key.SetText(L"TooLongAsUtf8", std::wstring(512, L'\u00e9'));

    std::string result;
    const std::string k = Utf8(path);
    EXPECT_TRUE(Module1::ReadRegistryValue(LocalMachine, k, "Text", result));
    EXPECT_EQ(result, "C:\\Spiele\\\xc3\x89lite \xe2\x9c\x93");
    EXPECT_TRUE(Module1::ReadRegistryValue(LocalMachine, k, "Number", result));
    EXPECT_EQ(result, "16909060");
    EXPECT_TRUE(Module1::ReadRegistryValue(LocalMachine, k, "NoZero", result));
    EXPECT_EQ(result, "abc");
    EXPECT_TRUE(Module1::ReadRegistryValue(LocalMachine, k, "Empty", result));
    EXPECT_EQ(result, "");
    EXPECT_TRUE(Module1::ReadRegistryValue(LocalMachine, k, "", result));
    EXPECT_EQ(result, "default");
    EXPECT_TRUE(Module1::ReadRegistryValue(LocalMachine, k, "Longest", result));
    EXPECT_EQ(result, std::string(1023, 'x'));

    // Read but not converted; too long; absent; another hive: the result is left as it was.
    result = "kept";
    EXPECT_TRUE(Module1::ReadRegistryValue(LocalMachine, k, "Expand", result));
    EXPECT_FALSE(Module1::ReadRegistryValue(LocalMachine, k, "TooLong", result));
    EXPECT_FALSE(Module1::ReadRegistryValue(LocalMachine, k, "TooLongAsUtf8", result));
    EXPECT_FALSE(Module1::ReadRegistryValue(LocalMachine, k, "Absent", result));
    EXPECT_FALSE(Module1::ReadRegistryValue(LocalMachine, k + "\\Absent", "Text", result));
    EXPECT_FALSE(Module1::ReadRegistryValue(0x12345678, k, "Text", result));
    EXPECT_EQ(result, "kept");
}

TEST(Registry, InstallBaseFolderFromTheGamesKey) {
    const std::wstring game = L"Software\\Activision\\Elite Force II";
    {
        ScopedKey key(game, KEY_WOW64_32KEY);
        ASSERT_TRUE(key.created());
        key.SetText(L"InstallPath", L"C:\\Games\\EF2");
        EXPECT_EQ(Module1::InstallBaseFolder(), "C:\\Games\\EF2\\base");
    }
    // No key: the field stays empty, and the message says where the game was looked for.
    EXPECT_EQ(Module1::InstallBaseFolder(), "");
    EXPECT_EQ(Module1::NoGameFound(),
              "No game found in the registry (HKEY_LOCAL_MACHINE\\Software\\Activision\\Elite "
              "Force II); choose its base folder with Browse");
}

class Listing : public ::testing::Test {
  protected:
    void SetUp() override {
        folder_ = std::filesystem::temp_directory_path() /
                  (L"packwarden-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                   std::to_wstring(::GetTickCount64()));
        std::filesystem::create_directories(folder_);
    }
    void TearDown() override {
        for (const auto& entry : std::filesystem::directory_iterator(folder_)) {
            ::SetFileAttributesW(entry.path().c_str(), FILE_ATTRIBUTE_NORMAL);
        }
        std::error_code ec;
        std::filesystem::remove_all(folder_, ec);
    }
    void Write(const std::wstring& name, std::size_t size, DWORD attributes = 0) {
        std::ofstream(folder_ / name, std::ios::binary) << std::string(size, 'x');
        if (attributes != 0) {
            ::SetFileAttributesW((folder_ / name).c_str(), attributes);
        }
    }
    std::string Folder() const { return Utf8FromWide(folder_.wstring()); }

    std::filesystem::path folder_;
};

TEST_F(Listing, NamesGoOutAsUtf8WithTheirSizes) {
    Write(L"pak0.pk3", 4096);
    Write(L"\u00c9lite \u2713 \u6f22\u5b57.pk3", 12);
    Write(L"A&B=C+D%E F.PK3", 3);
    Write(L"mixed.Pk3", 0);
    Write(L"hidden.pk3", 1, FILE_ATTRIBUTE_HIDDEN);
    Write(L"system.pk3", 1, FILE_ATTRIBUTE_SYSTEM);
    Write(L"long.pk3x", 1);
    Write(L"pk3", 1);
    Write(L"readme.txt", 1);
    std::filesystem::create_directory(folder_ / L"folder.pk3");

    std::vector<PackageEntry> entries;
    ASSERT_EQ(ListPackages(Folder(), entries), packwarden::Listing::Listed);
    std::vector<std::pair<std::string, int64_t>> got;
    for (const PackageEntry& entry : entries) {
        got.emplace_back(entry.name, entry.size);
    }
    std::sort(got.begin(), got.end());
    const std::vector<std::pair<std::string, int64_t>> expected = {
        {"A&B=C+D%E F.PK3", 3},
        {"folder.pk3", 0},
        {"mixed.Pk3", 0},
        {"pak0.pk3", 4096},
        {"\xc3\x89lite \xe2\x9c\x93 \xe6\xbc\xa2\xe5\xad\x97.pk3", 12},
    };
    EXPECT_EQ(got, expected);

    // The folder given with its separator, or with a non-ASCII name, lists the same.
    ASSERT_EQ(ListPackages(Folder() + "\\", entries), packwarden::Listing::Listed);
    EXPECT_EQ(entries.size(), expected.size());
}

TEST_F(Listing, FolderNamedInUnicodeAndFoldersThatCannotBeListed) {
    const std::filesystem::path inner = folder_ / L"\u00c9lite \u2713";
    std::filesystem::create_directory(inner);
    std::ofstream(inner / L"a.pk3", std::ios::binary) << "1234";
    std::vector<PackageEntry> entries;
    ASSERT_EQ(ListPackages(Utf8FromWide(inner.wstring()), entries), packwarden::Listing::Listed);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].name, "a.pk3");
    EXPECT_EQ(entries[0].size, 4);

    entries.push_back({"stale", 1});
    EXPECT_EQ(ListPackages(Folder() + "\\none", entries), packwarden::Listing::Unreadable);
    EXPECT_TRUE(entries.empty());
    Write(L"file.pk3", 1);
    EXPECT_EQ(ListPackages(Folder() + "\\file.pk3", entries), packwarden::Listing::Unreadable);
}

TEST(Separator, BackslashAddedOnce) {
    EXPECT_EQ(WithTrailingSeparator("C:\\Games\\EF2\\base"), "C:\\Games\\EF2\\base\\");
    EXPECT_EQ(WithTrailingSeparator("C:\\Games\\EF2\\base\\"), "C:\\Games\\EF2\\base\\");
    EXPECT_EQ(WithTrailingSeparator(""), "\\");
}

}  // namespace
}  // namespace packwarden
