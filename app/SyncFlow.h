// SPDX-License-Identifier: MIT
// SyncFlow: the flow of one synchronisation, the same for every window that shows it.
//
// Press "Launch system": winsock1 connects to the central server; a 100 ms poll (Timer1) sees
// the connection stand and runs send_inventory, which lists the *.pk3 packages of the folder
// in path_to_ef2 (a folder without any is refused) and posts them in one HTTP/1.0 request;
// launch_browser then closes the connection, opens the session page in the browser and ends
// the program. Timer2 shows "Couldn't connect" 5 s after a press that has not connected by
// then; the attempt goes on.
//
// The flow watches winsock1's State, notes the error of OnError for the poll to report, and
// watches what the server has acknowledged and the status line of its reply, which it peeks at
// (an error status ends in "Couldn't send data"); it handles no other event. The session number
// drawn here links the posted list to the page. The browser opens only once the server has the
// whole list.
//
// A connection that fails before Timer2 (refused, a name not found, no network) is shown when
// the poll sees it fail. Every message names what went wrong on a second line (the server and
// the reason, the folder, the address) and says the same on standard error.
//
// A window (Qt on Linux, Win32 on Windows) builds its controls, forwards its events to the
// handlers below, and does for the flow what SyncWindow asks. Nothing here knows a toolkit.
//
// Glossary. The window's names come from the program's history and are kept: FormDesign.h
// lays the controls out by them, the tests find the controls by them (Qt object names, Win32
// control identifiers), and handlers are named control_Event after them.
//   Form1           the program's one window: qt/Form1 on Linux, win32/Form1 on Windows;
//                   Form_Load is its start (the socket made, the fields filled, Timer1 on)
//   Module1         where the game is installed: its registry entry, and the base folder the
//                   field shows at start (Module1.h)
//   winsock1        the window's one socket (CSocket), aimed at the central server at load;
//                   never replaced; of its events only OnError's number is kept
//   doit            the "Launch system" button (Alt+L, Enter); doit_Click starts a connection
//                   (with the folder field empty it says what was looked for instead)
//   Timer1          the connection poll, every 100 ms from load: once winsock1 is connected it
//                   stops both timers and runs send_inventory; once the attempt has failed it
//                   stops both and shows "Couldn't connect" with the reason
//   Timer2          the connect time-out, 5 s after a press: "Couldn't connect" (the attempt
//                   goes on, and Timer1 still sends once it connects)
//   path_to_ef2     the text field with the game's base folder, the folder that is listed;
//                   empty, with a grey placeholder, when no place names the game
//   Browse          the button beside it that opens the folder picker
//   mydata          the hidden text field that holds the request's header lines
//   Picture1        the banner at the top; a click opens the server's home page
//   Label1          the folder field's caption
//   Label2          the text that says what the program does and collects
//   Label3          the credit line at the bottom; a click opens the crewdock page
//   Line1, Line2    the two white rules between the sections
//   send_inventory  lists the packages and hands the request to winsock1
//   launch_browser  flushes and closes the connection, opens the session page, ends the program
//   session_number  drawn anew for every request (0..10000): joins the posted list to the page
//   client_version  the version the server is told, in the request and the page's address (2)
//
// Every other name follows the usual style of these files: types and functions CamelCase, data
// members of a class camelCase with a trailing underscore (window_, flushLimit_), the fields
// of a plain struct without one.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "CentralServer.h"
#include "Inventory.h"
#include "packwarden/CSocket.h"

namespace packwarden {

// The application title: every message box carries it as its caption.
inline constexpr const char* ApplicationTitle = "Torvane Packwarden";
// The folder picker's title.
inline constexpr const char* PickFolderTitle = "Select EFII base folder:";
// What the empty folder field shows, in grey, when no place named the game.
inline constexpr const char* FolderPlaceholder = "Choose the game's base folder with Browse";
// For --help: what the program does, and the variable that points it at another server.
inline constexpr const char* ProgramSummary =
    "Tells the Torvane server which Elite Force II packages (*.pk3) this player has and opens\n"
    "the server's page for that list, where missing and outdated packages can be downloaded.";
inline constexpr const char* ServerVariableHelp =
    "  PACKWARDEN_SERVER  host[:port], or an http:// or https:// address, of the server to use\n"
    "                     instead of www.torvane.net";

// What the flow asks of the window that shows it. Texts are UTF-8 unless said otherwise.
class SyncWindow {
  public:
    enum class Timer { Timer1, Timer2 };
    enum class Icon { None, Critical };

    // path_to_ef2: shows a folder given as the file system's bytes (on Windows, UTF-8), and
    // gives back the folder it names, as those bytes, once the player may have edited it.
    virtual void ShowFolder(std::string bytes) = 0;
    virtual std::string FolderBytes() const = 0;
    // mydata, the hidden field that holds the request's header lines (CR LF line ends).
    virtual void SetHeaderTemplate(const std::string& text) = 0;
    virtual std::string HeaderTemplate() const = 0;

    virtual void StartTimer(Timer timer) = 0;
    virtual void StopTimer(Timer timer) = 0;
    // Input to the window off (false) or on again.
    virtual void SetInputEnabled(bool enabled) = 0;
    // Runs the window's event loop, socket notifications included, until `proceed` returns
    // false; `proceed` is asked after every round of socket dispatch and at least every `tick`.
    virtual void RunLoopWhile(const std::function<bool()>& proceed,
                              std::chrono::milliseconds tick) = 0;
    // Unloads the window (hides it) and ends the program: no further event is handled once
    // control returns to the event loop.
    virtual void HideAndEndProgram() = 0;

    // The desktop: a modal message with one OK button and the application title (`detail`,
    // when not empty, beneath the text as its second line, where it can be copied); the
    // default browser; the shell's folder picker (nothing when the player cancels).
    virtual void ShowMessage(const std::string& text, Icon icon,
                             const std::string& detail = {}) = 0;
    // One line on standard error, where the program has one (a console, a pipe, a file).
    virtual void PrintDiagnostic(const std::string& line) = 0;
    virtual bool OpenAddress(const std::string& address) = 0;
    virtual std::optional<std::string> PickFolder(const std::string& title) = 0;

  protected:
    ~SyncWindow() = default;
};

// Why a connection failed or broke, in the player's words, from the error OnError, Connect or
// SendData gave ("the server refused the connection", "the name www.torvane.net was not
// found", "no network"...); `host` is the name that was asked for.
std::string ConnectFailureReason(int32_t error, const std::string& host);

class SyncFlow final : private CSocketEvents {
  public:
    // The window must outlive the flow. Nothing happens until Form_Load.
    SyncFlow(SyncWindow& window, CentralServer server);
    ~SyncFlow();
    SyncFlow(const SyncFlow&) = delete;
    SyncFlow& operator=(const SyncFlow&) = delete;

    // How long launch_browser keeps the loop running for a request the network has not taken
    // whole yet while no byte of it moves (30 s; a byte the server acknowledges counts as
    // moved): a slow server that keeps reading is waited for, one that has stopped is given up
    // on.
    void SetFlushLimit(std::chrono::milliseconds limit) { flushLimit_ = limit; }
    // The longest the program waits, once its window has gone, for the connection's close to
    // finish (the request's last bytes reaching the server), before the process ends.
    static constexpr std::chrono::seconds ExitCloseLimit{30};
    // Once the server has acknowledged the whole request, how long the flow waits for its
    // answer (whose status tells whether it took the list) before it opens the page anyway.
    static constexpr std::chrono::milliseconds AnswerWait{1000};
    static constexpr std::chrono::milliseconds Timer1Interval{100};
    static constexpr std::chrono::milliseconds Timer2Interval{5000};

    int16_t SessionNumber() const { return session_number; }
    // The status of the server's answer to the last request, when it answered before the page
    // was opened (or refused it).
    std::optional<int> ServerStatus() const { return serverStatus_; }
    const CSocket& Socket() const { return *winsock1; }

    // The window's controls exist: create the socket, aim it at the server, fill mydata and
    // path_to_ef2 (the game's base folder, empty when no place names the game), start Timer1.
    // Throws SocketError when the socket service cannot start.
    void Form_Load();

    void doit_Click();
    void Timer1_Timer();
    void Timer2_Timer();
    void Browse_Click();
    void Label3_Click();
    void Picture1_Click();

  private:
    void send_inventory();
    void launch_browser();
    // Keeps the loop running until the server has the whole request (it acknowledged every
    // byte, or answered), the connection fails or no byte has moved for the flush limit; true
    // when the server has it. When it gives up, the connection is dropped, so nothing of the
    // request goes out after the message.
    bool FlushSendBuffer();
    // Every byte of the request has been acknowledged by the server (where the system cannot
    // tell: handed to the system).
    bool ServerHasRequest() const;
    // The least the network carries for a request of `requestBytes` (more once encrypted).
    std::size_t WireBytes(std::size_t requestBytes) const;
    // The status in the answer received so far, if it starts with one.
    std::optional<int> AnswerStatus() const;
    // Shows one of the four messages with its second line, and writes both to standard error
    // first ("packwarden: text: detail"), so that a run nobody watches still tells why, and a
    // script reads it while the modal message waits.
    void Message(const char* text, const std::string& detail = {});
    // "host:port: reason", the second line of a failure that concerns the server.
    std::string AtServer(const std::string& reason) const;

    // CSocketEvents: only the error is noted, for the poll to report.
    void OnError(int16_t Number, std::string& Description, int32_t Scode, const std::string& Source,
                 const std::string& HelpFile, int32_t HelpContext, bool& CancelDisplay) override;

    SyncWindow& window_;
    const CentralServer server_;
    std::chrono::milliseconds flushLimit_{30000};

    std::shared_ptr<CSocket> winsock1;
    int16_t session_number = 0;
    int16_t client_version = 0;
    std::size_t requestBytes_ = 0;
    uint64_t acknowledgedBefore_ = 0;  // what the server had acknowledged before the request
    std::optional<int> serverStatus_;
    std::optional<SessionGenerator> generator_;
    // The error that ended the current attempt (or the connection since), until the next press.
    std::optional<int32_t> socketError_;
    // Timer2 has spoken for the current attempt: its later failure adds no second message.
    bool connectTimedOut_ = false;
};

}  // namespace packwarden
