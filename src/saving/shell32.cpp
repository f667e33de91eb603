#include "shell32.h"

#include <QCoreApplication>
#include <QProcess>

namespace velmora::Shell32 {

int effectiveWindowStyle(std::optional<int> style) {
    if (!style || *style < 0 || *style > 6) return 6;
    return *style;
}

int RunAndWait(const QString& commandLine, std::optional<int> windowStyle) {
    // Console programs have no window here; the style is kept for the caller's intent.
    (void)effectiveWindowStyle(windowStyle);
    QStringList arguments = QProcess::splitCommand(commandLine);
    if (arguments.isEmpty()) return kFileNotFound + kObjectErrorBase;
    const QString program = arguments.takeFirst();
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.setStandardOutputFile(QProcess::nullDevice());
    process.start(program, arguments);
    if (!process.waitForStarted(10000)) return kFileNotFound + kObjectErrorBase;
    while (!process.waitForFinished(100)) {
        if (process.state() == QProcess::NotRunning) break;
        QCoreApplication::processEvents();
    }
    if (process.exitStatus() == QProcess::CrashExit) return -1;
    return process.exitCode();
}

}  // namespace velmora::Shell32
