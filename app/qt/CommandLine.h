// SPDX-License-Identifier: MIT
// The program's command line: --help and --version, Qt's own options, and a clear refusal of
// anything else.
#pragma once

#include <optional>

namespace packwarden {

// Reads the command line before any window system is touched, so that it answers alike with or
// without a display: --help, --help-all and --version print to standard output (status 0); an
// unknown option or a stray argument is reported on standard error with the usage (status 2),
// and nothing is contacted. Qt's own options (-platform NAME, -style NAME, -display NAME...)
// pass, for QApplication to take. Returns the exit status when the program ends here.
std::optional<int> AnswerCommandLine(int argc, char** argv);

}  // namespace packwarden
