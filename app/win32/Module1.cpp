// SPDX-License-Identifier: MIT
// The install-path lookup on Windows: the registry itself.
#include "Module1.h"

#include <windows.h>

#include <array>
#include <memory>
#include <type_traits>

#include "win32/Utf8.h"

namespace Module1 {
namespace {

using packwarden::Utf8FromWide;
using packwarden::WideFromUtf8;

struct KeyCloser {
    void operator()(HKEY key) const { ::RegCloseKey(key); }
};
using KeyHandle = std::unique_ptr<std::remove_pointer_t<HKEY>, KeyCloser>;

// The predefined keys are sign-extended 32-bit values (0x80000002 is HKEY_LOCAL_MACHINE).
HKEY RootKey(uint32_t hive) {
    if (hive < 0x80000000u || hive > 0x80000003u) {
        return nullptr;
    }
    return reinterpret_cast<HKEY>(static_cast<LONG_PTR>(static_cast<LONG>(hive)));
}

// A UTF-16 value holds at most twice its UTF-8 length in bytes: room for any value whose UTF-8
// form fits ValueBufferSize.
constexpr DWORD WideBufferBytes = 2 * ValueBufferSize;

struct RawValue {
    DWORD type = 0;
    std::array<BYTE, WideBufferBytes + 2> bytes{};
    DWORD size = 0;
};

enum class Lookup { Found, Absent, Failed };

// Read access only: asking for more (as the 8-bit original did) fails for every player who is
// not an administrator, since HKLM may only be read by them.
Lookup QueryView(HKEY root, const std::wstring& key, const std::wstring& name, REGSAM view,
                 RawValue& value) {
    HKEY opened = nullptr;
    const LONG open = ::RegOpenKeyExW(root, key.c_str(), 0, KEY_QUERY_VALUE | view, &opened);
    if (open != ERROR_SUCCESS) {
        return open == ERROR_FILE_NOT_FOUND ? Lookup::Absent : Lookup::Failed;
    }
    const KeyHandle handle(opened);
    value.size = WideBufferBytes;
    const LONG query = ::RegQueryValueExW(handle.get(), name.empty() ? nullptr : name.c_str(),
                                          nullptr, &value.type, value.bytes.data(), &value.size);
    if (query != ERROR_SUCCESS) {
        return query == ERROR_FILE_NOT_FOUND ? Lookup::Absent : Lookup::Failed;
    }
    return Lookup::Found;
}

}  // namespace

bool ReadRegistryValue(uint32_t hive, const std::string& keyPath, const std::string& valueName,
                       std::string& result) {
    const HKEY root = RootKey(hive);
    if (root == nullptr) {
        return false;
    }
    const std::wstring key = WideFromUtf8(keyPath);
    const std::wstring name = WideFromUtf8(valueName);
    RawValue value;
    // The game is a 32-bit program: a real installation's key lives in the 32-bit view.
    Lookup found = QueryView(root, key, name, KEY_WOW64_32KEY, value);
    if (found == Lookup::Absent) {
        found = QueryView(root, key, name, 0, value);  // the native view
    }
    if (found != Lookup::Found) {
        return false;
    }
    std::string bytes;
    if (IsTextType(value.type)) {
        const std::wstring_view text(reinterpret_cast<const wchar_t*>(value.bytes.data()),
                                     value.size / sizeof(wchar_t));
        bytes = Utf8FromWide(text);
    } else {
        bytes.assign(reinterpret_cast<const char*>(value.bytes.data()), value.size);
    }
    return StoreValue(value.type, std::move(bytes), result);
}

std::string InstallBaseFolder() {
    std::string installPath;
    if (!ReadRegistryValue(0x80000002 /* HKEY_LOCAL_MACHINE */, GameKeyPath, InstallPathValue,
                           installPath) ||
        installPath.empty()) {
        return {};
    }
    return installPath + "\\base";
}

std::string NoGameFound() {
    return "No game found in the registry (HKEY_LOCAL_MACHINE\\Software\\Activision\\Elite "
           "Force II); choose its base folder with Browse";
}

}  // namespace Module1
