#include "start_up.h"

#include <QDir>
#include <QFileInfo>
#include <cstdio>

#include "copyright_notice.h"

namespace velmora {

QString programFolderFor(const QString& executableFolder, const QString& dataFolderFromBin) {
    const QDir installed(QDir(executableFolder).filePath(dataFolderFromBin));
    return installed.exists() ? installed.absolutePath() : executableFolder;
}

CommandLine parseCommandLine(const QStringList& arguments) {
    CommandLine result;
    QStringList files;
    bool optionsEnded = false;
    for (const QString& argument : arguments) {
        if (!optionsEnded && argument == QLatin1String("--")) {
            optionsEnded = true;
        } else if (!optionsEnded &&
                   (argument == QLatin1String("--help") || argument == QLatin1String("-h"))) {
            return {CommandLine::Action::ShowHelp, {}, {}};
        } else if (!optionsEnded && argument == QLatin1String("--version")) {
            return {CommandLine::Action::ShowVersion, {}, {}};
        } else if (!optionsEnded && argument.startsWith(QLatin1Char('-')) && argument.size() > 1) {
            if (result.error.isEmpty())
                result.error = QStringLiteral("unknown option '%1'").arg(argument);
        } else if (argument.isEmpty()) {
            if (result.error.isEmpty()) result.error = QStringLiteral("an empty FILE name");
        } else {
            files << argument;
        }
    }
    if (files.size() > 1 && result.error.isEmpty())
        result.error = QStringLiteral("more than one FILE: '%1' and '%2'").arg(files[0], files[1]);
    if (!result.error.isEmpty()) result.action = CommandLine::Action::ShowError;
    // A drop hands over a full path; so does the command line, wherever it was started.
    if (result.action == CommandLine::Action::Run && !files.isEmpty())
        result.file = QFileInfo(files.front()).absoluteFilePath();
    return result;
}

int answerCommandLine(const CommandLine& commandLine, const char* program) {
    switch (commandLine.action) {
        case CommandLine::Action::ShowHelp:
            std::printf(
                "Usage: %s [FILE]\n"
                "Erase an object marked in pure green on a photo and fill the hole from the\n"
                "picture's own surroundings.\n"
                "\n"
                "With FILE, the program opens that picture at start-up as if it had been\n"
                "dropped on the window: a BMP, JPEG, GIF, PNG, ICO or WMF file.\n"
                "\n"
                "In the window, Ctrl+0 fits the whole picture in the view and Ctrl+1 shows\n"
                "it at full size, one picture pixel per screen pixel (as after every load);\n"
                "Ctrl+Plus, Ctrl+Minus and Ctrl+wheel zoom in and out from 1/16 to 8 times.\n"
                "A box or polygon drawn at any zoom marks the picture pixels under it.\n"
                "\n"
                "Options:\n"
                "  -h, --help     show this help and exit\n"
                "      --version  show the version and exit\n",
                program);
            return 0;
        case CommandLine::Action::ShowVersion:
            std::printf("%s %s\n%s", program, VELMORA_VERSION, kCopyrightNotice);
            return 0;
        case CommandLine::Action::ShowError:
        case CommandLine::Action::Run:
            break;
    }
    std::fprintf(stderr, "%s: error: %s\nTry '%s --help' for more information.\n", program,
                 qPrintable(commandLine.error), program);
    return 2;
}

}  // namespace velmora
