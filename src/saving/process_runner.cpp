#include "process_runner.h"

#include <QEventLoop>
#include <QProcess>

namespace velmora::process {

namespace {

// Enough of the program's standard error to hold its last lines.
constexpr qsizetype kErrorTail = 4096;

QString lastLine(const QByteArray& output) {
    const QList<QByteArray> lines = output.split('\n');
    for (auto line = lines.crbegin(); line != lines.crend(); ++line) {
        const QString text = QString::fromLocal8Bit(*line).trimmed();
        if (!text.isEmpty()) return text;
    }
    return QString();
}

}  // namespace

int runAndWait(const QStringList& commandLine, QString* errorOutput) {
    if (errorOutput) errorOutput->clear();
    if (commandLine.isEmpty() || commandLine.front().isEmpty())
        return kFileNotFound + kObjectErrorBase;

    QProcess process;
    process.setStandardOutputFile(QProcess::nullDevice());
    QByteArray errorTail;
    QObject::connect(&process, &QProcess::readyReadStandardError, [&] {
        errorTail += process.readAllStandardError();
        if (errorTail.size() > kErrorTail) errorTail = errorTail.right(kErrorTail);
    });
    // The wait is an event loop of its own, left when the program ends or fails
    // to start; the application's quit leaves it too, and every loop after it.
    QEventLoop wait;
    bool ended = false;
    bool failedToStart = false;
    QObject::connect(&process, &QProcess::finished, &wait, [&] {
        ended = true;
        wait.quit();
    });
    QObject::connect(&process, &QProcess::errorOccurred, &wait, [&](QProcess::ProcessError e) {
        if (e != QProcess::FailedToStart) return;
        ended = failedToStart = true;
        wait.quit();
    });
    process.start(commandLine.front(), commandLine.mid(1));
    if (!ended) wait.exec();

    if (failedToStart) {
        if (errorOutput) *errorOutput = process.errorString();
        return kFileNotFound + kObjectErrorBase;
    }
    if (!ended) {
        process.disconnect();
        process.kill();
        process.waitForFinished(1000);
        return kAbandoned;
    }
    errorTail += process.readAllStandardError();
    if (errorOutput) *errorOutput = lastLine(errorTail);
    if (process.exitStatus() == QProcess::CrashExit) return -1;
    return process.exitCode();
}

}  // namespace velmora::process
