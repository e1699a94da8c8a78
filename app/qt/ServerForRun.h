// SPDX-License-Identifier: MIT
// The server one run of the program talks to, settled before anything connects.
#pragma once

#include <iosfwd>
#include <optional>

#include "CentralServer.h"
#include "qt/Shell.h"

namespace packwarden {

// The server CentralServerFromEnvironment gives. When PACKWARDEN_SERVER cannot be used, its
// problem goes to `diagnostics` and to the player as a critical message, and nothing is
// returned: the program then ends without contacting any server.
std::optional<CentralServer> ServerForRun(Shell& shell, std::ostream& diagnostics);

}  // namespace packwarden
