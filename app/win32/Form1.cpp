// SPDX-License-Identifier: MIT
#include "win32/Form1.h"

#include <commctrl.h>
#include <shellapi.h>

#include <cmath>
#include <stdexcept>

#include "FormDesign.h"
#include "win32/Console.h"
#include "win32/FolderPicker.h"
#include "win32/Form1Controls.h"
#include "win32/Resources.h"
#include "win32/Utf8.h"

namespace packwarden {
namespace {

constexpr int TwipsPerInch = 1440;
constexpr COLORREF Background =
    RGB(design::Background.red, design::Background.green, design::Background.blue);
constexpr UINT_PTR Timer1Id = 1;
constexpr UINT_PTR Timer2Id = 2;

// Windows 10's per-monitor calls, looked up so the program still starts on older systems.
UINT DpiOf(HWND window) {
    using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
    static const auto getDpiForWindow = reinterpret_cast<GetDpiForWindowFn>(reinterpret_cast<void*>(
        ::GetProcAddress(::GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
    if (getDpiForWindow != nullptr) {
        if (const UINT dpi = getDpiForWindow(window); dpi != 0) {
            return dpi;
        }
    }
    HDC screen = ::GetDC(nullptr);
    const int dpi = ::GetDeviceCaps(screen, LOGPIXELSX);
    ::ReleaseDC(nullptr, screen);
    return dpi > 0 ? static_cast<UINT>(dpi) : 96;
}

RECT WindowRectForClient(int width, int height, DWORD style, DWORD exStyle, UINT dpi) {
    RECT rect{0, 0, width, height};
    using AdjustFn = BOOL(WINAPI*)(LPRECT, DWORD, BOOL, DWORD, UINT);
    static const auto adjustForDpi = reinterpret_cast<AdjustFn>(reinterpret_cast<void*>(
        ::GetProcAddress(::GetModuleHandleW(L"user32.dll"), "AdjustWindowRectExForDpi")));
    if (adjustForDpi == nullptr || !adjustForDpi(&rect, style, FALSE, exStyle, dpi)) {
        ::AdjustWindowRectEx(&rect, style, FALSE, exStyle);
    }
    return rect;
}

int Px(int twips, UINT dpi) {
    return ::MulDiv(twips, static_cast<int>(dpi), TwipsPerInch);
}

std::wstring TextOf(HWND control) {
    const int length = ::GetWindowTextLengthW(control);
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    text.resize(static_cast<std::size_t>(::GetWindowTextW(control, text.data(), length + 1)));
    return text;
}

// Where each control goes.
struct Place {
    HWND Form1::*control;
    const design::Control& design;
};

constexpr DWORD FormStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
constexpr DWORD FormExStyle = WS_EX_CONTROLPARENT;

}  // namespace

Form1::Form1(HINSTANCE instance, CentralServer server)
    : instance_(instance),
      flow_(*this, std::move(server)),
      background_(::CreateSolidBrush(Background)),
      white_(::CreateSolidBrush(RGB(255, 255, 255))) {
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = &Form1::WindowProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = static_cast<HICON>(::LoadImageW(instance, MAKEINTRESOURCEW(IDI_PACKWARDEN),
                                                        IMAGE_ICON, ::GetSystemMetrics(SM_CXICON),
                                                        ::GetSystemMetrics(SM_CYICON), 0));
    windowClass.hIconSm = static_cast<HICON>(
        ::LoadImageW(instance, MAKEINTRESOURCEW(IDI_PACKWARDEN), IMAGE_ICON,
                     ::GetSystemMetrics(SM_CXSMICON), ::GetSystemMetrics(SM_CYSMICON), 0));
    windowClass.hCursor = ::LoadCursorW(nullptr, MAKEINTRESOURCEW(32512) /* IDC_ARROW */);
    windowClass.hbrBackground = background_.get();
    windowClass.lpszClassName = form1::WindowClass;
    ::RegisterClassExW(&windowClass);  // a second window of the process finds it registered

    banner_.reset(static_cast<HBITMAP>(::LoadImageW(instance, MAKEINTRESOURCEW(IDB_BANNER),
                                                    IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION)));
    banner2x_.reset(static_cast<HBITMAP>(::LoadImageW(instance, MAKEINTRESOURCEW(IDB_BANNER_2X),
                                                      IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION)));

    const std::wstring title = WideFromUtf8(ApplicationTitle);
    window_ =
        ::CreateWindowExW(FormExStyle, form1::WindowClass, title.c_str(), FormStyle, CW_USEDEFAULT,
                          CW_USEDEFAULT, 0, 0, nullptr, nullptr, instance, this);
    if (window_ == nullptr) {
        throw std::runtime_error("The window could not be created.");
    }
    try {
        BuildControls();
        Layout(DpiOf(window_));
        flow_.Form_Load();
    } catch (...) {
        DestroyDetached();  // the caller's message box pumps messages: none may reach us
        throw;
    }
}

Form1::~Form1() {
    DestroyDetached();
}

void Form1::DestroyDetached() {
    if (window_ == nullptr) {
        return;  // closed by the player: already gone
    }
    // Detached first: the window's last messages are not this object's any more. Its WM_DESTROY
    // would otherwise post a second WM_QUIT once the program's loop has ended, left in the
    // queue that the wait for the closes to finish goes on pumping.
    ::SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
    ::DestroyWindow(window_);
    window_ = nullptr;
}

void Form1::Show(int showCommand) {
    // Centred on the work area of the monitor the window is on.
    RECT frame{};
    ::GetWindowRect(window_, &frame);
    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    if (::GetMonitorInfoW(::MonitorFromWindow(window_, MONITOR_DEFAULTTOPRIMARY), &monitor)) {
        const RECT& area = monitor.rcWork;
        const int width = frame.right - frame.left;
        const int height = frame.bottom - frame.top;
        ::SetWindowPos(window_, nullptr, area.left + (area.right - area.left - width) / 2,
                       area.top + (area.bottom - area.top - height) / 2, 0, 0,
                       SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
    ::ShowWindow(window_, showCommand);
    ::UpdateWindow(window_);
    ::SetFocus(doit);
}

int Form1::RunMessageLoop() {
    MSG msg{};
    while (::GetMessageW(&msg, nullptr, 0, 0) > 0) {
        DispatchOne(msg);
    }
    return static_cast<int>(msg.wParam);
}

bool Form1::DispatchOne(MSG& msg) {
    if (msg.message == WM_QUIT) {
        ::PostQuitMessage(static_cast<int>(msg.wParam));
        return false;
    }
    if (window_ != nullptr && ::IsDialogMessageW(window_, &msg)) {
        return true;
    }
    ::TranslateMessage(&msg);
    ::DispatchMessageW(&msg);
    return true;
}

LRESULT CALLBACK Form1::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
        auto* form = static_cast<Form1*>(create->lpCreateParams);
        form->window_ = window;
        ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(form));
    }
    auto* form = reinterpret_cast<Form1*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
    if (form == nullptr) {
        return ::DefWindowProcW(window, message, wParam, lParam);
    }
    if (message == WM_NCDESTROY) {
        ::SetWindowLongPtrW(window, GWLP_USERDATA, 0);
        form->window_ = nullptr;
        return ::DefWindowProcW(window, message, wParam, lParam);
    }
    return form->OnMessage(message, wParam, lParam);
}

void Form1::BuildControls() {
    const auto child = [this](const wchar_t* windowClass, const design::Control& design,
                              DWORD style, int id, DWORD exStyle = 0) {
        return ::CreateWindowExW(
            exStyle, windowClass, WideFromUtf8(design.caption).c_str(), WS_CHILD | style, 0, 0, 0,
            0, window_, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance_, nullptr);
    };
    // Created in tab order, which is the order Tab follows.
    doit = child(L"BUTTON", design::doit, WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, form1::doit);
    path_to_ef2 = child(L"EDIT", design::path_to_ef2, WS_VISIBLE | WS_TABSTOP | ES_AUTOHSCROLL,
                        form1::path_to_ef2, WS_EX_CLIENTEDGE);
    // The cue banner (common controls 6, which the manifest asks for) shows while the field is
    // empty, even with the focus, and takes no room of its own.
    ::SendMessageW(path_to_ef2, EM_SETCUEBANNER, TRUE,
                   reinterpret_cast<LPARAM>(WideFromUtf8(FolderPlaceholder).c_str()));
    Label1 = child(L"STATIC", design::Label1, WS_VISIBLE | SS_LEFT, form1::Label1);
    Label2 = child(L"STATIC", design::Label2, WS_VISIBLE | SS_CENTER, form1::Label2);
    Label3 = child(L"STATIC", design::Label3, WS_VISIBLE | SS_CENTER | SS_NOTIFY, form1::Label3);
    Browse =
        child(L"BUTTON", design::Browse, WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, form1::Browse);
    mydata = child(L"EDIT", design::mydata, ES_MULTILINE | ES_AUTOVSCROLL, form1::mydata);
    Picture1 =
        child(L"STATIC", design::Picture1, WS_VISIBLE | SS_OWNERDRAW | SS_NOTIFY, form1::Picture1);
    Line1 = child(L"STATIC", design::Line1, WS_VISIBLE, form1::Line1);
    Line2 = child(L"STATIC", design::Line2, WS_VISIBLE, form1::Line2);
}

void Form1::Layout(UINT dpi) {
    dpi_ = dpi;
    const RECT frame = WindowRectForClient(Px(design::FormWidth, dpi), Px(design::FormHeight, dpi),
                                           FormStyle, FormExStyle, dpi);
    ::SetWindowPos(window_, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
                   SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);

    static constexpr Place places[] = {
        {&Form1::Picture1, design::Picture1}, {&Form1::Label2, design::Label2},
        {&Form1::mydata, design::mydata},     {&Form1::Line1, design::Line1},
        {&Form1::Label1, design::Label1},     {&Form1::path_to_ef2, design::path_to_ef2},
        {&Form1::Browse, design::Browse},     {&Form1::Line2, design::Line2},
        {&Form1::Label3, design::Label3},     {&Form1::doit, design::doit},
    };
    for (const auto& [control, d] : places) {
        // A line is one pixel high at any density.
        const int height = d.height == design::TwipsPerPixelAt96Dpi ? std::max(1, Px(d.height, dpi))
                                                                    : Px(d.height, dpi);
        ::SetWindowPos(this->*control, nullptr, Px(d.left, dpi), Px(d.top, dpi), Px(d.width, dpi),
                       height, SWP_NOZORDER | SWP_NOACTIVATE);
    }

    // Fonts: made anew for this density, the old ones freed once no control uses them.
    std::vector<Gdi<HFONT>> old = std::move(fonts_);
    fonts_.clear();
    const auto setFont = [](HWND control, HFONT font) {
        ::SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    };
    using design::ButtonPoints, design::SmallestButtonPoints;
    using design::LabelPoints, design::SmallestLabelPoints;
    setFont(Label1, FittingFont(Label1, LabelPoints, SmallestLabelPoints, false, false));
    setFont(Label2, FittingFont(Label2, LabelPoints, SmallestLabelPoints, false, false));
    setFont(Label3, FittingFont(Label3, LabelPoints, SmallestLabelPoints, true, false));
    setFont(doit, FittingFont(doit, ButtonPoints, SmallestButtonPoints, false, true));
    setFont(Browse, FittingFont(Browse, ButtonPoints, SmallestButtonPoints, false, true));
    HFONT field = FittingFont(path_to_ef2, ButtonPoints, ButtonPoints, false, false);
    setFont(path_to_ef2, field);
    setFont(mydata, field);
    ::InvalidateRect(window_, nullptr, TRUE);
}

// "MS Sans Serif" at `points`, or smaller, down to `smallest`, until the control's text fits
// its box: a substitute face may be wider. Buttons keep a margin between caption and edges.
HFONT Form1::FittingFont(HWND control, double points, double smallest, bool underline,
                         bool button) {
    RECT box{};
    ::GetClientRect(control, &box);
    std::wstring text = TextOf(control);
    if (button) {
        std::erase(text, L'&');
    }
    const bool centred = (::GetWindowLongPtrW(control, GWL_STYLE) & SS_CENTER) != 0 && !button;
    HDC dc = ::GetDC(control);
    HFONT chosen = nullptr;
    for (double size = points;; size -= 0.25) {
        const int height = -static_cast<int>(std::lround(size * dpi_ / 72.0));
        HFONT font = ::CreateFontW(height, 0, 0, 0, FW_NORMAL, FALSE, underline, FALSE,
                                   DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                                   DEFAULT_QUALITY, VARIABLE_PITCH | FF_SWISS, L"MS Sans Serif");
        HGDIOBJ previous = ::SelectObject(dc, font);
        bool fits = true;
        if (button) {
            SIZE extent{};
            ::GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &extent);
            fits = extent.cx +
                       ::MulDiv(design::ButtonMarginPixelsAt96Dpi, static_cast<int>(dpi_), 96) <=
                   box.right;
        } else if (!text.empty()) {
            RECT needed{0, 0, box.right, 0};
            ::DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &needed,
                        DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX | (centred ? DT_CENTER : 0));
            fits = needed.right <= box.right && needed.bottom <= box.bottom;
        }
        ::SelectObject(dc, previous);
        if (fits || size - 0.25 < smallest) {
            chosen = font;
            break;
        }
        ::DeleteObject(font);
    }
    ::ReleaseDC(control, dc);
    fonts_.emplace_back(chosen);
    return chosen;
}

void Form1::DrawBanner(const DRAWITEMSTRUCT& item) {
    ::FillRect(item.hDC, &item.rcItem, background_.get());
    // The picture drawn at twice the size serves dense screens; scaled, never enlarged blurred.
    HBITMAP source = dpi_ >= 144 && banner2x_ ? banner2x_.get() : banner_.get();
    if (source == nullptr) {
        return;
    }
    BITMAP bitmap{};
    ::GetObjectW(source, sizeof bitmap, &bitmap);
    const int width = ::MulDiv(318, static_cast<int>(dpi_), 96);
    const int height = ::MulDiv(57, static_cast<int>(dpi_), 96);
    const int top = item.rcItem.top + (item.rcItem.bottom - item.rcItem.top - height) / 2;
    HDC memory = ::CreateCompatibleDC(item.hDC);
    HGDIOBJ previous = ::SelectObject(memory, source);
    if (bitmap.bmWidth == width && bitmap.bmHeight == height) {
        ::BitBlt(item.hDC, item.rcItem.left, top, width, height, memory, 0, 0, SRCCOPY);
    } else {
        ::SetStretchBltMode(item.hDC, HALFTONE);
        ::SetBrushOrgEx(item.hDC, 0, 0, nullptr);
        ::StretchBlt(item.hDC, item.rcItem.left, top, width, height, memory, 0, 0, bitmap.bmWidth,
                     bitmap.bmHeight, SRCCOPY);
    }
    ::SelectObject(memory, previous);
    ::DeleteDC(memory);
}

LRESULT Form1::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_COMMAND:
            if (!ending_ && lParam != 0) {
                OnCommand(LOWORD(wParam), HIWORD(wParam));
            }
            return 0;
        case WM_TIMER:
            if (ending_) {
                return 0;
            }
            if (wParam == Timer1Id) {
                flow_.Timer1_Timer();
            } else if (wParam == Timer2Id) {
                flow_.Timer2_Timer();
            }
            return 0;
        case WM_CTLCOLORSTATIC: {
            const auto control = reinterpret_cast<HWND>(lParam);
            if (control == Line1 || control == Line2) {
                return reinterpret_cast<LRESULT>(white_.get());
            }
            auto* dc = reinterpret_cast<HDC>(wParam);
            ::SetTextColor(dc, RGB(255, 255, 255));
            ::SetBkMode(dc, TRANSPARENT);
            return reinterpret_cast<LRESULT>(background_.get());
        }
        case WM_DRAWITEM: {
            const auto& item = *reinterpret_cast<const DRAWITEMSTRUCT*>(lParam);
            if (item.hwndItem == Picture1) {
                DrawBanner(item);
                return TRUE;
            }
            break;
        }
        case WM_SETCURSOR: {
            const auto over = reinterpret_cast<HWND>(wParam);
            if ((over == Label3 || over == Picture1) && LOWORD(lParam) == HTCLIENT) {
                ::SetCursor(::LoadCursorW(nullptr, MAKEINTRESOURCEW(32649) /* IDC_HAND */));
                return TRUE;
            }
            break;
        }
        case DM_GETDEFID:
            // Enter presses the launch button, as a dialog's default button.
            return MAKELRESULT(form1::doit, DC_HASDEFID);
        case WM_ACTIVATE:
            if (LOWORD(wParam) == WA_INACTIVE) {
                focus_ = ::GetFocus();
            } else {
                ::SetFocus(focus_ != nullptr && ::IsChild(window_, focus_) ? focus_ : doit);
            }
            return 0;
        case WM_DPICHANGED: {
            // Dragged to a monitor of another density: the size the system suggests, anew.
            const auto& suggested = *reinterpret_cast<const RECT*>(lParam);
            ::SetWindowPos(window_, nullptr, suggested.left, suggested.top,
                           suggested.right - suggested.left, suggested.bottom - suggested.top,
                           SWP_NOZORDER | SWP_NOACTIVATE);
            Layout(HIWORD(wParam));
            return 0;
        }
        case WM_CLOSE:
            ::DestroyWindow(window_);
            return 0;
        case WM_DESTROY:
            ::PostQuitMessage(0);
            return 0;
        default:
            break;
    }
    return ::DefWindowProcW(window_, message, wParam, lParam);
}

void Form1::OnCommand(int id, int notification) {
    if (notification != BN_CLICKED && notification != STN_CLICKED) {
        return;
    }
    switch (id) {
        case form1::doit:
            flow_.doit_Click();
            break;
        case form1::Browse:
            flow_.Browse_Click();
            break;
        case form1::Label3:
            flow_.Label3_Click();
            break;
        case form1::Picture1:
            flow_.Picture1_Click();
            break;
        default:
            break;
    }
}

void Form1::ShowFolder(std::string bytes) {
    ::SetWindowTextW(path_to_ef2, WideFromUtf8(bytes).c_str());
}

std::string Form1::FolderBytes() const {
    return Utf8FromWide(TextOf(path_to_ef2));
}

void Form1::SetHeaderTemplate(const std::string& text) {
    ::SetWindowTextW(mydata, WideFromUtf8(text).c_str());
}

std::string Form1::HeaderTemplate() const {
    return Utf8FromWide(TextOf(mydata));
}

void Form1::StartTimer(Timer timer) {
    if (timer == Timer::Timer1) {
        ::SetTimer(window_, Timer1Id, static_cast<UINT>(SyncFlow::Timer1Interval.count()), nullptr);
    } else {
        ::SetTimer(window_, Timer2Id, static_cast<UINT>(SyncFlow::Timer2Interval.count()), nullptr);
    }
}

void Form1::StopTimer(Timer timer) {
    ::KillTimer(window_, timer == Timer::Timer1 ? Timer1Id : Timer2Id);
}

void Form1::SetInputEnabled(bool enabled) {
    ::EnableWindow(window_, enabled);
}

void Form1::RunLoopWhile(const std::function<bool()>& proceed, std::chrono::milliseconds tick) {
    constexpr int MaxMessagesPerRound = 256;
    while (proceed()) {
        ::MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>(tick.count()), QS_ALLINPUT,
                                      MWMO_INPUTAVAILABLE);
        MSG msg{};
        for (int n = 0; n < MaxMessagesPerRound && ::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE);
             ++n) {
            if (!DispatchOne(msg)) {
                return;  // the program ends: WM_QUIT is back in the queue for the main loop
            }
        }
    }
}

void Form1::HideAndEndProgram() {
    ending_ = true;
    ::KillTimer(window_, Timer1Id);
    ::KillTimer(window_, Timer2Id);
    ::ShowWindow(window_, SW_HIDE);
    ::PostQuitMessage(0);
}

void Form1::ShowMessage(const std::string& text, Icon icon, const std::string& detail) {
    std::wstring shown = WideFromUtf8(text);
    if (!detail.empty()) {
        shown += L"\n\n" + WideFromUtf8(detail);  // MessageBox copies its text with Ctrl+C
    }
    const std::wstring title = WideFromUtf8(ApplicationTitle);
    const HWND owner = window_ != nullptr && ::IsWindowVisible(window_) ? window_ : nullptr;
    ::MessageBoxW(owner, shown.c_str(), title.c_str(),
                  MB_OK | (icon == Icon::Critical ? MB_ICONHAND : 0));
}

void Form1::PrintDiagnostic(const std::string& line) {
    PrintToConsole(STD_ERROR_HANDLE, line + "\n");
}

bool Form1::OpenAddress(const std::string& address) {
    // Shown normally: the browser must come up where the player sees it.
    const auto result = reinterpret_cast<INT_PTR>(::ShellExecuteW(
        nullptr, nullptr, WideFromUtf8(address).c_str(), nullptr, nullptr, SW_SHOWNORMAL));
    return result > 32;
}

std::optional<std::string> Form1::PickFolder(const std::string& title) {
    std::wstring start = TextOf(path_to_ef2);
    while (start.size() > 3 && (start.back() == L'\\' || start.back() == L'/')) {
        start.pop_back();
    }
    const std::optional<std::wstring> folder =
        PickFolderWithShell(window_, WideFromUtf8(title), start);
    if (!folder) {
        return std::nullopt;
    }
    return Utf8FromWide(*folder);
}

}  // namespace packwarden
