// SPDX-License-Identifier: MIT
#include "qt/ServerForRun.h"

#include <ostream>

namespace packwarden {

std::optional<CentralServer> ServerForRun(Shell& shell, std::ostream& diagnostics) {
    std::string problem;
    std::optional<CentralServer> server = CentralServerFromEnvironment(problem);
    if (!server) {
        diagnostics << "packwarden: " << problem << std::endl;
        // The problem text is escaped ASCII: nothing in it can read as markup or a control.
        shell.ShowMessage(nullptr, QString::fromStdString(problem), Shell::Icon::Critical);
    }
    return server;
}

}  // namespace packwarden
