// SPDX-License-Identifier: MIT
// Form1: the program's one window on Linux, a Qt widget. It builds the controls and forwards
// their events to SyncFlow, which holds the flow of one synchronisation; it does for the flow
// what SyncWindow asks, the desktop's part through Shell.
#pragma once

#include <QLabel>
#include <QWidget>
#include <chrono>
#include <string>

#include "CentralServer.h"
#include "SyncFlow.h"
#include "packwarden/CSocket.h"
#include "qt/Shell.h"

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

class Form1 final : public QWidget, private SyncWindow {
    Q_OBJECT
  public:
    // Builds the window and runs Form_Load. Throws SocketError when the socket service cannot
    // start.
    Form1(Shell& shell, CentralServer server, QWidget* parent = nullptr);
    ~Form1() override;

    void SetFlushLimit(std::chrono::milliseconds limit) { flow_.SetFlushLimit(limit); }

    int16_t SessionNumber() const { return flow_.SessionNumber(); }
    const CSocket& Socket() const { return flow_.Socket(); }

  private:
    void BuildControls();

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

    Shell& shell_;
    SyncFlow flow_;

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

    // The folder last shown, as the file system's bytes, and as the field showed it (a name
    // that is not UTF-8 cannot be shown exactly).
    std::string shownFolderBytes_;
    QString shownFolderText_;
};

}  // namespace packwarden
