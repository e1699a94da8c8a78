// SPDX-License-Identifier: MIT
// Form1: the program's one window on Windows, plain Win32. It builds the controls at the
// twip positions of the design (15 twips per pixel at 96 DPI, scaled for the monitor's DPI),
// forwards their events, its timers' ticks included, to SyncFlow, and does for the flow what
// SyncWindow asks: MessageBox, ShellExecute, the shell's folder picker. The socket service's
// notifications reach their own message-only window through the same message loop.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "CentralServer.h"
#include "SyncFlow.h"

namespace packwarden {

class Form1 final : private SyncWindow {
  public:
    // Creates the window (not shown yet) and runs Form_Load. Throws SocketError when the
    // socket service cannot start, std::runtime_error when the window cannot be created.
    Form1(HINSTANCE instance, CentralServer server);
    ~Form1();
    Form1(const Form1&) = delete;
    Form1& operator=(const Form1&) = delete;

    // Centred on the screen, the launch button focused.
    void Show(int showCommand);
    // The program's message loop, IsDialogMessage giving the access keys and Tab, until
    // WM_QUIT; returns its exit code.
    int RunMessageLoop();

  private:
    struct GdiDeleter {
        void operator()(HGDIOBJ object) const { ::DeleteObject(object); }
    };
    template <typename T>
    using Gdi = std::unique_ptr<std::remove_pointer_t<T>, GdiDeleter>;

    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT OnMessage(UINT message, WPARAM wParam, LPARAM lParam);
    void BuildControls();
    // Places and sizes everything, and chooses the fonts, for `dpi`.
    void Layout(UINT dpi);
    HFONT FittingFont(HWND control, double points, double smallest, bool underline, bool button);
    void DrawBanner(const DRAWITEMSTRUCT& item);
    void OnCommand(int id, int notification);
    // Dispatches one message as the main loop does; false for WM_QUIT (put back for it).
    bool DispatchOne(MSG& msg);
    // Destroys the window, if it is still there, without it calling back into this object.
    void DestroyDetached();

    // SyncWindow
    void ShowFolder(std::string bytes) override;
    std::string FolderBytes() const override;
    void SetHeaderTemplate(const std::string& text) override;
    std::string HeaderTemplate() const override;
    void StartTimer(Timer timer) override;
    void StopTimer(Timer timer) override;
    void SetInputEnabled(bool enabled) override;
    void RunLoopWhile(const std::function<bool()>& proceed,
                      std::chrono::milliseconds tick) override;
    void HideAndEndProgram() override;
    void ShowMessage(const std::string& text, Icon icon, const std::string& detail) override;
    void PrintDiagnostic(const std::string& line) override;
    bool OpenAddress(const std::string& address) override;
    std::optional<std::string> PickFolder(const std::string& title) override;

    HINSTANCE instance_;
    SyncFlow flow_;
    HWND window_ = nullptr;
    UINT dpi_ = 96;
    bool ending_ = false;
    HWND focus_ = nullptr;  // the control that had the focus when the window was deactivated

    HWND doit = nullptr;
    HWND path_to_ef2 = nullptr;
    HWND Label1 = nullptr;
    HWND Label2 = nullptr;
    HWND Label3 = nullptr;
    HWND Browse = nullptr;
    HWND mydata = nullptr;
    HWND Picture1 = nullptr;
    HWND Line1 = nullptr;
    HWND Line2 = nullptr;

    Gdi<HBRUSH> background_;
    Gdi<HBRUSH> white_;
    Gdi<HBITMAP> banner_;
    Gdi<HBITMAP> banner2x_;
    std::vector<Gdi<HFONT>> fonts_;
};

}  // namespace packwarden
