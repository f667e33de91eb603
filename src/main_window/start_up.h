#pragma once

#include <QString>
#include <QStringList>

namespace velmora {

// The folder that holds the program's own files (Samples/sample.jpg, HAND-M.CUR):
// dataFolderFromBin joined to executableFolder when that folder exists (an
// installed copy, bin/ beside share/velmora/), otherwise executableFolder itself
// (the build folder, where the files lie beside the program).
QString programFolderFor(const QString& executableFolder, const QString& dataFolderFromBin);

// What the command line asks of the program.
struct CommandLine {
    enum class Action { Run, ShowHelp, ShowVersion, ShowError };
    Action action = Action::Run;
    QString file;   // with Run: the picture to open at start-up, or empty
    QString error;  // with ShowError: what is wrong, naming the argument
};

// Reads the arguments after the program's name: nothing, one FILE, --help (or -h)
// or --version; "--" ends the options, so a FILE may start with "-". Anything
// else is an error.
CommandLine parseCommandLine(const QStringList& arguments);

// Prints the help, the version or the error of `program` for a command line
// whose action is not Run; returns the exit status (2 for an error).
int answerCommandLine(const CommandLine& commandLine, const char* program);

}  // namespace velmora
