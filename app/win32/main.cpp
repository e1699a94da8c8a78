// SPDX-License-Identifier: MIT
// packwarden.exe: tells the Torvane server which *.pk3 packages this player has and opens the
// server's page for them.
#include <windows.h>

#include <commctrl.h>
#include <objbase.h>
#include <shellapi.h>

#include <exception>
#include <optional>
#include <string>

#include "SyncFlow.h"
#include "packwarden/MSocketSupport.h"
#include "win32/Console.h"
#include "win32/Form1.h"
#include "win32/Utf8.h"

#ifndef PACKWARDEN_VERSION
#error "PACKWARDEN_VERSION is defined by the build (the project's version)"
#endif

namespace {

using packwarden::ApplicationTitle;
using packwarden::PrintToConsole;
using packwarden::WideFromUtf8;

const std::string Help = std::string("Usage: packwarden [--help] [--version]\n\n") +
                         packwarden::ProgramSummary + "\n\nEnvironment:\n" +
                         packwarden::ServerVariableHelp + "\n";

void Message(const std::string& text, UINT icon) {
    ::MessageBoxW(nullptr, WideFromUtf8(text).c_str(), WideFromUtf8(ApplicationTitle).c_str(),
                  MB_OK | icon);
}

// Answers --help and --version, refuses anything else; the exit status when it answered.
std::optional<int> AnswerCommandLine() {
    int count = 0;
    wchar_t** args = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    if (args == nullptr) {
        return std::nullopt;
    }
    std::optional<int> status;
    for (int i = 1; i < count && !status; ++i) {
        const std::wstring arg = args[i];
        std::string text;
        if (arg == L"--version" || arg == L"-v") {
            text = std::string("packwarden ") + PACKWARDEN_VERSION + "\n";
            status = 0;
        } else if (arg == L"--help" || arg == L"-h" || arg == L"-?" || arg == L"/?") {
            text = Help;
            status = 0;
        } else {
            text = "packwarden: unexpected argument '" + packwarden::Utf8FromWide(arg) + "'\n\n" +
                   Help;
            status = 2;  // a usage error, as on Linux
        }
        if (!PrintToConsole(*status == 0 ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE, text)) {
            Message(text, *status == 0 ? MB_ICONINFORMATION : MB_ICONHAND);
        }
    }
    ::LocalFree(args);
    return status;
}

struct ComApartment {
    // The shell's folder picker and ShellExecute want a single-threaded apartment.
    ComApartment()
        : ok(SUCCEEDED(
              ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE))) {}
    ~ComApartment() {
        if (ok) {
            ::CoUninitialize();
        }
    }
    bool ok;
};

}  // namespace

int main() {
    if (const std::optional<int> status = AnswerCommandLine()) {
        return *status;
    }
    std::string problem;
    const std::optional<packwarden::CentralServer> server =
        packwarden::CentralServerFromEnvironment(problem);
    if (!server) {
        PrintToConsole(STD_ERROR_HANDLE, "packwarden: " + problem + "\n");
        Message(problem, MB_ICONHAND);
        return 2;
    }
    const ComApartment com;
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES};
    ::InitCommonControlsEx(&controls);
    try {
        int status = 0;
        {
            packwarden::Form1 form(::GetModuleHandleW(nullptr), *server);
            form.Show(SW_SHOWNORMAL);
            status = form.RunMessageLoop();
        }
        // The window and its socket are gone; the request's last bytes may still be on their
        // way, and leaving now could cut them off.
        MSocketSupport::FinishPendingCloses(packwarden::SyncFlow::ExitCloseLimit);
        return status;
    } catch (const std::exception& error) {
        Message(error.what(), MB_ICONHAND);
        return 1;
    }
}
