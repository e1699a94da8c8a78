// SPDX-License-Identifier: MIT
// Shell: what the window asks of the desktop. One small interface, so tests can stand in.
#pragma once

#include <QString>
#include <optional>

#include "SyncFlow.h"

class QWidget;

namespace packwarden {

class Shell {
  public:
    enum class Icon { None, Critical };

    virtual ~Shell() = default;
    // Opens an address in the user's default browser; false when no opener could be started.
    virtual bool OpenAddress(const QString& address) = 0;
    // Lets the user choose one folder; empty when the user cancels.
    virtual std::optional<QString> PickFolder(QWidget* owner, const QString& title) = 0;
    // A modal message with one OK button and the application title as caption. `detail`, when
    // not empty, is shown beneath the text and can be selected and copied.
    virtual void ShowMessage(QWidget* owner, const QString& text, Icon icon,
                             const QString& detail = {}) = 0;
    // Ends the program: no further event is handled once control returns to the event loop.
    virtual void EndProgram() = 0;
};

// The real desktop: QDesktopServices, QFileDialog, QMessageBox, QCoreApplication::exit.
class DesktopShell final : public Shell {
  public:
    bool OpenAddress(const QString& address) override;
    std::optional<QString> PickFolder(QWidget* owner, const QString& title) override;
    void ShowMessage(QWidget* owner, const QString& text, Icon icon,
                     const QString& detail = {}) override;
    void EndProgram() override;
};

}  // namespace packwarden
