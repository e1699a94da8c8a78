// SPDX-License-Identifier: MIT
#include "qt/CommandLine.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QStringList>
#include <algorithm>
#include <cstdio>
#include <iterator>
#include <string>

#include "SyncFlow.h"

#ifndef PACKWARDEN_VERSION
#error "PACKWARDEN_VERSION is defined by the build (the project's version)"
#endif

namespace packwarden {

namespace {

// Qt's own options, as QGuiApplication, QApplication and the X11 platform take them: they are
// accepted here and left for QApplication ("-name value"; "-name=value" only where Qt takes it).
constexpr const char* QtOptionsWithValue[] = {"platform",
                                              "platformpluginpath",
                                              "platformtheme",
                                              "plugin",
                                              "qwindowgeometry",
                                              "geometry",
                                              "qwindowicon",
                                              "icon",
                                              "qwindowtitle",
                                              "title",
                                              "session",
                                              "style",
                                              "stylesheet",
                                              "display",
                                              "name",
                                              "visual",
                                              "qmljsdebugger"};
constexpr const char* QtFlags[] = {"reverse", "testability", "widgetcount",
                                   "nograb",  "dograb",      "sync"};

constexpr const char* QtOptionsTakingEquals[] = {"style", "stylesheet", "qmljsdebugger"};

// "-platform=NAME" and the like: the parser would take them, Qt would ignore them.
std::optional<QString> QtOptionInAFormQtIgnores(const QStringList& arguments) {
    for (qsizetype i = 1; i < arguments.size() && arguments[i] != QStringLiteral("--"); ++i) {
        QString name = arguments[i];
        if (!name.startsWith(QLatin1Char('-')) || !name.contains(QLatin1Char('='))) {
            continue;
        }
        while (name.startsWith(QLatin1Char('-'))) {
            name.remove(0, 1);
        }
        name.truncate(name.indexOf(QLatin1Char('=')));
        const auto is = [&](const char* option) { return name == QLatin1String(option); };
        if (std::any_of(std::begin(QtOptionsWithValue), std::end(QtOptionsWithValue), is) &&
            std::none_of(std::begin(QtOptionsTakingEquals), std::end(QtOptionsTakingEquals), is)) {
            return arguments[i];
        }
    }
    return std::nullopt;
}

void SetUp(QCommandLineParser& parser) {
    const std::string description =
        std::string(ProgramSummary) +
        "\n\nEnvironment:\n"
        "  WINEPREFIX         Wine prefix the game is installed in (looked in first; then\n"
        "                     ~/.wine, Steam's Proton, Lutris's and Bottles' prefixes)\n" +
        ServerVariableHelp +
        "\n  BROWSER            browser that opens the server's page (else the desktop's choice)";
    parser.setApplicationDescription(QString::fromStdString(description));
    // Qt's options are single-dash words; so, then, are ours (-h, -v stay what they were).
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.addHelpOption();
    parser.addVersionOption();
    for (const char* name : QtOptionsWithValue) {
        QCommandLineOption option(QString::fromLatin1(name), QString(), QStringLiteral("value"));
        option.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(option);
    }
    for (const char* name : QtFlags) {
        QCommandLineOption option(QString::fromLatin1(name));
        option.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(option);
    }
}

}  // namespace

std::optional<int> AnswerCommandLine(int argc, char** argv) {
    QStringList arguments;
    for (int i = 0; i < argc; ++i) {
        arguments.append(QString::fromLocal8Bit(argv[i]));
    }
    QCommandLineParser parser;
    SetUp(parser);
    const std::optional<QString> ignored = QtOptionInAFormQtIgnores(arguments);
    const bool parsed = !ignored && parser.parse(arguments);
    const bool stray = parsed && !parser.positionalArguments().isEmpty();
    const bool informed = parsed && (parser.isSet(QStringLiteral("help")) ||
                                     parser.isSet(QStringLiteral("help-all")) ||
                                     parser.isSet(QStringLiteral("version")));
    if (parsed && !stray && !informed) {
        return std::nullopt;  // a window to show
    }
    // QCoreApplication needs no display; it gives the usage line the program's name.
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("packwarden"));
    QCoreApplication::setApplicationVersion(QStringLiteral(PACKWARDEN_VERSION));
    if (!parsed || stray) {
        const QString problem = ignored ? QStringLiteral("Qt takes no '=' here: '%1'").arg(*ignored)
                                : parsed ? QStringLiteral("unexpected argument '%1'")
                                               .arg(parser.positionalArguments().constFirst())
                                         : parser.errorText();
        std::fprintf(stderr, "packwarden: %s\n\n%s", qPrintable(problem),
                     qPrintable(parser.helpText()));
        return 2;
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

}  // namespace packwarden
