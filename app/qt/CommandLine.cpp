// SPDX-License-Identifier: MIT
#include "qt/CommandLine.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QStringList>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "SyncFlow.h"

#ifndef PACKWARDEN_VERSION
#error "PACKWARDEN_VERSION is defined by the build (the project's version)"
#endif

namespace packwarden {

namespace {

void SetUp(QCommandLineParser& parser) {
    const std::string description =
        std::string(ProgramSummary) +
        "\n\nEnvironment:\n"
        "  WINEPREFIX         Wine prefix the game is installed in (looked in first; then\n"
        "                     ~/.wine, Steam's Proton, Lutris's and Bottles' prefixes)\n" +
        ServerVariableHelp +
        "\n  BROWSER            browser that opens the server's page (else the desktop's choice)";
    parser.setApplicationDescription(QString::fromStdString(description));
    parser.addHelpOption();
    parser.addVersionOption();
}

bool IsInformationOption(const char* arg) {
    for (const char* option : {"-h", "--help", "-?", "--help-all", "-v", "--version"}) {
        if (std::strcmp(arg, option) == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace

std::optional<int> AnswerInformationOptions(int argc, char** argv) {
    bool asked = false;
    for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
        asked = asked || IsInformationOption(argv[i]);
    }
    if (!asked) {
        return std::nullopt;
    }
    // QCoreApplication needs no display; it gives the parser the program's name and version.
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("packwarden"));
    QCoreApplication::setApplicationVersion(QStringLiteral(PACKWARDEN_VERSION));
    QCommandLineParser parser;
    SetUp(parser);
    if (!parser.parse(QCoreApplication::arguments())) {
        std::fprintf(stderr, "packwarden: %s\n", qPrintable(parser.errorText()));
        return 1;
    }
    if (parser.isSet(QStringLiteral("version"))) {
        std::printf("packwarden %s\n", PACKWARDEN_VERSION);
    } else {
        std::fputs(qPrintable(parser.helpText()), stdout);
        if (parser.isSet(QStringLiteral("help-all"))) {
            std::fputs(
                "\nQt's own options, such as -platform NAME, -display NAME and -style NAME,\n"
                "are accepted as well.\n",
                stdout);
        }
    }
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "packwarden: could not write to standard output\n");
        return 1;
    }
    return 0;
}

void RefuseUnknownArguments(const QCoreApplication& app) {
    QCommandLineParser parser;
    SetUp(parser);
    parser.process(app);  // prints the error and exits for an unknown option
    if (!parser.positionalArguments().isEmpty()) {
        std::fprintf(stderr, "packwarden: unexpected argument '%s'\n\n%s",
                     qPrintable(parser.positionalArguments().constFirst()),
                     qPrintable(parser.helpText()));
        std::exit(1);
    }
}

}  // namespace packwarden
