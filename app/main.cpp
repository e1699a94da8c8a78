// packwarden: tells the Torvane server which *.pk3 packages this player has and opens the
// server's page for them.
#include <QApplication>
#include <QIcon>
#include <QMessageBox>
#include <iostream>

#include "Form1.h"
#include "ServerForRun.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("packwarden"));
    packwarden::DesktopShell shell;
    const std::optional<packwarden::CentralServer> server =
        packwarden::ServerForRun(shell, std::cerr);
    if (!server) {
        return 2;
    }
    try {
        packwarden::Form1 form(shell, *server);
        QApplication::setWindowIcon(form.windowIcon());
        form.show();
        return QApplication::exec();
    } catch (const std::exception& error) {
        QMessageBox::critical(nullptr, QString::fromUtf8(packwarden::ApplicationTitle),
                              QString::fromLocal8Bit(error.what()));
        return 1;
    }
}
