// SPDX-License-Identifier: MIT
// Reads and works Packwarden's Windows window from outside, as another program on the same
// desktop (run under Wine beside it; the tests drive keys with xdotool and read with this):
//
//   packwarden_probe layout               the window's client size and every control: id, place
//                                         in the client area, visibility and text
//   packwarden_probe message SECONDS      waits for a message box titled "Torvane Packwarden",
//                                         prints its text and icon, and presses its OK button
//   packwarden_probe no-message SECONDS   fails if such a message box appears within SECONDS
//   packwarden_probe set-folder TEXT      types TEXT (UTF-8) into the folder field
//
// Exit status 0 when it did what was asked, 1 otherwise (with the reason on standard error).
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "win32/Form1Controls.h"

namespace {

constexpr wchar_t Title[] = L"Torvane Packwarden";

std::string Utf8(const std::wstring& text) {
    if (text.empty()) {
        return {};
    }
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                        nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(n), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n,
                          nullptr, nullptr);
    return out;
}

std::wstring Wide(const std::string& text) {
    if (text.empty()) {
        return {};
    }
    const int n =
        ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(n), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

// WM_GETTEXT is carried across processes; GetWindowText is not, for controls.
std::wstring TextOf(HWND window) {
    DWORD_PTR length = 0;
    ::SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 2000, &length);
    std::wstring text(length + 1, L'\0');
    DWORD_PTR copied = 0;
    ::SendMessageTimeoutW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()),
                          SMTO_ABORTIFHUNG, 2000, &copied);
    text.resize(copied);
    return text;
}

std::string OneLine(std::string text) {
    for (char& c : text) {
        if (c == '\r' || c == '\n') {
            c = '|';
        }
    }
    return text;
}

// The pixels of `icon` drawn at 32 x 32 on black; empty when it cannot be drawn.
std::string IconPixels(HICON icon) {
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = 32;
    info.bmiHeader.biHeight = 32;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    void* bits = nullptr;
    HDC dc = ::CreateCompatibleDC(nullptr);
    HBITMAP bitmap = ::CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    std::string pixels;
    if (bitmap != nullptr) {
        HGDIOBJ previous = ::SelectObject(dc, bitmap);
        if (::DrawIconEx(dc, 0, 0, icon, 32, 32, 0, nullptr, DI_NORMAL)) {
            ::GdiFlush();
            pixels.assign(static_cast<const char*>(bits), 32 * 32 * 4);
        }
        ::SelectObject(dc, previous);
        ::DeleteObject(bitmap);
    }
    ::DeleteDC(dc);
    return pixels;
}

template <typename Find>
HWND WaitFor(Find find, double seconds) {
    const ULONGLONG until = ::GetTickCount64() + static_cast<ULONGLONG>(seconds * 1000);
    for (;;) {
        if (HWND found = find()) {
            return found;
        }
        if (::GetTickCount64() >= until) {
            return nullptr;
        }
        ::Sleep(50);
    }
}

HWND MainWindow() {
    return ::FindWindowW(packwarden::form1::WindowClass, Title);
}

HWND MessageBoxWindow() {
    HWND box = ::FindWindowW(L"#32770", Title);
    return box != nullptr && ::IsWindowVisible(box) ? box : nullptr;
}

int Layout() {
    HWND form = WaitFor(MainWindow, 10);
    if (form == nullptr) {
        std::fprintf(stderr, "probe: no window\n");
        return 1;
    }
    RECT client{};
    ::GetClientRect(form, &client);
    std::printf("client %ld %ld\n", client.right, client.bottom);
    for (HWND child = ::GetWindow(form, GW_CHILD); child != nullptr;
         child = ::GetWindow(child, GW_HWNDNEXT)) {
        RECT r{};
        ::GetWindowRect(child, &r);
        ::MapWindowPoints(nullptr, form, reinterpret_cast<POINT*>(&r), 2);
        std::printf("control %ld %ld %ld %ld %ld %d %s\n", ::GetWindowLongW(child, GWL_ID), r.left,
                    r.top, r.right - r.left, r.bottom - r.top, ::IsWindowVisible(child) ? 1 : 0,
                    OneLine(Utf8(TextOf(child))).c_str());
    }
    const DWORD thread = ::GetWindowThreadProcessId(form, nullptr);
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    if (::GetGUIThreadInfo(thread, &info) && info.hwndFocus != nullptr) {
        std::printf("focus %ld\n", ::GetWindowLongW(info.hwndFocus, GWL_ID));
    }
    return 0;
}

int Message(double seconds) {
    HWND box = WaitFor(MessageBoxWindow, seconds);
    if (box == nullptr) {
        std::fprintf(stderr, "probe: no message box within %.0f s\n", seconds);
        return 1;
    }
    // The text is the static control 0xFFFF; the icon is the static control that shows one
    // (its identifier differs between Windows and Wine).
    std::printf("text %s\n", OneLine(Utf8(TextOf(::GetDlgItem(box, 0xFFFF)))).c_str());
    HWND iconControl = nullptr;
    for (HWND child = ::GetWindow(box, GW_CHILD); child != nullptr && iconControl == nullptr;
         child = ::GetWindow(child, GW_HWNDNEXT)) {
        if ((::GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) {
            iconControl = child;
        }
    }
    const auto shown = reinterpret_cast<HICON>(::SendMessageW(iconControl, STM_GETICON, 0, 0));
    const HICON hand = ::LoadIconW(nullptr, MAKEINTRESOURCEW(32513) /* IDI_HAND */);
    // Windows shows the shared IDI_HAND icon itself; Wine shows a copy of its own, whose
    // handle and pixels cannot be compared from another process: "present" there.
    const char* icon = "none";
    if (iconControl != nullptr && ::IsWindowVisible(iconControl) && shown != nullptr) {
        icon =
            shown == hand || (!IconPixels(shown).empty() && IconPixels(shown) == IconPixels(hand))
                ? "hand"
                : "present";
    }
    std::printf("icon %s\n", icon);
    std::printf("owner %s\n", ::GetWindow(box, GW_OWNER) == MainWindow() ? "form" : "none");
    std::fflush(stdout);
    ::PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                   reinterpret_cast<LPARAM>(::GetDlgItem(box, IDOK)));
    return WaitFor([box] { return ::IsWindow(box) ? nullptr : HWND(1); }, 5) ? 0 : 1;
}

int NoMessage(double seconds) {
    if (HWND box = WaitFor(MessageBoxWindow, seconds)) {
        std::fprintf(stderr, "probe: unexpected message: %s\n",
                     Utf8(TextOf(::GetDlgItem(box, 0xFFFF))).c_str());
        return 1;
    }
    return 0;
}

int SetFolder(const std::string& text) {
    HWND form = WaitFor(MainWindow, 10);
    HWND field = form != nullptr ? ::GetDlgItem(form, packwarden::form1::path_to_ef2) : nullptr;
    if (field == nullptr) {
        std::fprintf(stderr, "probe: no folder field\n");
        return 1;
    }
    const std::wstring wide = Wide(text);
    DWORD_PTR done = 0;
    ::SendMessageTimeoutW(field, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(wide.c_str()),
                          SMTO_ABORTIFHUNG, 2000, &done);
    return TextOf(field) == wide ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "layout") {
        return Layout();
    }
    if (command == "message" && argc > 2) {
        return Message(std::atof(argv[2]));
    }
    if (command == "no-message" && argc > 2) {
        return NoMessage(std::atof(argv[2]));
    }
    if (command == "set-folder" && argc > 2) {
        return SetFolder(argv[2]);
    }
    std::fprintf(stderr,
                 "usage: packwarden_probe layout | message S | no-message S | "
                 "set-folder TEXT\n");
    return 2;
}
