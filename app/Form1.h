// Form1: the program's one window and the flow of one synchronisation.
//
// Press "Launch system": winsock1 connects to the central server; a 100 ms poll (Timer1) sees
// the connection stand and runs send_inventory, which lists the *.pk3 packages of the folder
// in path_to_ef2 and posts them in one HTTP/1.0 request; launch_browser then closes the
// connection, opens the session page in the browser and ends the program. Timer2 shows
// "Couldn't connect" 5 s after a press that has not connected by then; the attempt goes on.
//
// The window handles none of winsock1's events: it only watches State. The server's reply is
// never read; the session number drawn here links the posted list to the page.
#pragma once

#include <QLabel>
#include <QWidget>
#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "CentralServer.h"
#include "Inventory.h"
#include "Shell.h"
#include "packwarden/CSocket.h"

class QFrame;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTimer;

namespace packwarden {

// A label that reports a click (the banner and the credit text are links).
class ClickableLabel final : public QLabel {
    Q_OBJECT
  public:
    using QLabel::QLabel;
  signals:
    void clicked();

  protected:
    void mouseReleaseEvent(QMouseEvent* event) override;
};

class Form1 final : public QWidget, private CSocketEvents {
    Q_OBJECT
  public:
    // Builds the window and runs Form_Load. Throws SocketError when the socket service cannot
    // start.
    Form1(Shell& shell, CentralServer server, QWidget* parent = nullptr);
    ~Form1() override;

    // How long launch_browser keeps the loop running for a request the network has not taken
    // whole yet while no byte of it moves (30 s): a slow server that keeps reading is waited
    // for, one that has stopped is given up on.
    void SetFlushLimit(std::chrono::milliseconds limit) { flushLimit_ = limit; }
    // The longest the program waits, once its window has gone, for the connection's close to
    // finish (the request's last bytes reaching the server), before the process ends.
    static constexpr std::chrono::seconds ExitCloseLimit{30};

    int16_t SessionNumber() const { return session_number; }
    const CSocket& Socket() const { return *winsock1; }

  private:
    void BuildControls();
    void Form_Load();

    void doit_Click();
    void Timer1_Timer();
    void Timer2_Timer();
    void Browse_Click();
    void Label3_Click();
    void Picture1_Click();

    void send_inventory();
    void launch_browser();

    // Takes the parameters of winsock1's OnError and tells the user "Winsock error". Attached
    // to nothing: socket failures reach the user as the connect time-out.
    void winsock1_Error(int16_t Number, std::string& Description, int32_t Scode,
                        const std::string& Source, const std::string& HelpFile, int32_t HelpContext,
                        bool& CancelDisplay);

    // Keeps the loop running until the send buffer is empty, the connection fails or no byte
    // has moved for the flush limit; true when everything went out. When it gives up, the
    // connection is dropped, so nothing of the request goes out after the message.
    bool FlushSendBuffer();
    // Shows `bytes` (a folder's name as the file system holds it) in path_to_ef2.
    void ShowFolder(std::string bytes);
    // The folder path_to_ef2 names: the bytes last shown while the field still reads as it was
    // shown (a name that is not UTF-8 cannot be shown exactly), else the field's text.
    std::string FolderBytes() const;
    // The mydata template with CR LF line ends.
    std::string HeaderTemplateFromMydata() const;
    void Message(const char* text, const QString& detail = {});

    Shell& shell_;
    const CentralServer server_;
    std::chrono::milliseconds flushLimit_{30000};

    ClickableLabel* Picture1 = nullptr;
    QLabel* Label2 = nullptr;
    QPlainTextEdit* mydata = nullptr;
    QFrame* Line1 = nullptr;
    QLabel* Label1 = nullptr;
    QLineEdit* path_to_ef2 = nullptr;
    QPushButton* Browse = nullptr;
    QFrame* Line2 = nullptr;
    ClickableLabel* Label3 = nullptr;
    QPushButton* doit = nullptr;
    QTimer* Timer1 = nullptr;
    QTimer* Timer2 = nullptr;

    std::string shownFolderBytes_;
    QString shownFolderText_;

    std::shared_ptr<CSocket> winsock1;
    int16_t session_number = 0;
    int16_t client_version = 0;
    std::optional<SessionGenerator> generator_;
};

}  // namespace packwarden
