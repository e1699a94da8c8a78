// SPDX-License-Identifier: MIT
// The program's command line: --help and --version, and a clear refusal of anything else.
#pragma once

#include <optional>

class QCoreApplication;

namespace packwarden {

// Answers --help and --version (printed to standard output) before any window system is
// touched, so both work without a display. Returns the exit status when it answered.
std::optional<int> AnswerInformationOptions(int argc, char** argv);

// Run once QApplication has taken its own options (-platform, -style...): anything left that
// the program does not take is reported on standard error and the program exits with status 1.
void RefuseUnknownArguments(const QCoreApplication& app);

}  // namespace packwarden
