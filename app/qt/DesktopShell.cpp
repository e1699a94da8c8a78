// SPDX-License-Identifier: MIT
#include <QCoreApplication>
#include <QDesktopServices>
#include <QFileDialog>
#include <QMessageBox>
#include <QUrl>

#include "qt/Shell.h"

namespace packwarden {

bool DesktopShell::OpenAddress(const QString& address) {
    return QDesktopServices::openUrl(QUrl(address, QUrl::StrictMode));
}

std::optional<QString> DesktopShell::PickFolder(QWidget* owner, const QString& title) {
    const QString folder =
        QFileDialog::getExistingDirectory(owner, title, QString(), QFileDialog::ShowDirsOnly);
    if (folder.isEmpty()) {
        return std::nullopt;
    }
    return folder;
}

void DesktopShell::ShowMessage(QWidget* owner, const QString& text, Icon icon,
                               const QString& detail) {
    QMessageBox box(icon == Icon::Critical ? QMessageBox::Critical : QMessageBox::NoIcon,
                    QString::fromUtf8(ApplicationTitle), text, QMessageBox::Ok, owner);
    if (!detail.isEmpty()) {
        box.setInformativeText(detail);
        box.setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    }
    box.exec();
}

void DesktopShell::EndProgram() {
    QCoreApplication::exit(0);
}

}  // namespace packwarden
