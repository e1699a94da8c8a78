// SPDX-License-Identifier: MIT
// packwarden: tells the Torvane server which *.pk3 packages this player has and opens the
// server's page for them.
#include <QApplication>
#include <QIcon>
#include <QMessageBox>
#include <iostream>

#include "posix/StandardDescriptors.h"
#include "qt/CommandLine.h"
#include "qt/Form1.h"
#include "qt/ServerForRun.h"

int main(int argc, char** argv) {
    packwarden::GuardStandardDescriptors();
    if (const auto status = packwarden::AnswerCommandLine(argc, argv)) {
        return *status;
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("packwarden"));
    QApplication::setApplicationVersion(QStringLiteral(PACKWARDEN_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("net.torvane.packwarden"));
    packwarden::DesktopShell shell;
    const std::optional<packwarden::CentralServer> server =
        packwarden::ServerForRun(shell, std::cerr);
    if (!server) {
        return 2;
    }
    try {
        int status = 0;
        {
            packwarden::Form1 form(shell, *server);
            QApplication::setWindowIcon(form.windowIcon());
            form.show();
            status = QApplication::exec();
        }
        // The window and its socket are gone; the request's last bytes may still be on their
        // way, and leaving now could cut them off.
        MSocketSupport::FinishPendingCloses(packwarden::SyncFlow::ExitCloseLimit);
        return status;
    } catch (const std::exception& error) {
        QMessageBox::critical(nullptr, QString::fromUtf8(packwarden::ApplicationTitle),
                              QString::fromLocal8Bit(error.what()));
        return 1;
    }
}
