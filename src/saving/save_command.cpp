#include "save_command.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <cerrno>
#include <cstring>

#include "atomic_file.h"
#include "converter.h"
#include "error_report.h"
#include "picture.h"
#include "process_runner.h"
#include "user_dialogs.h"

namespace velmora {

namespace {

struct TypeInfo {
    const char* extension;
    const char* format;  // converter arguments; null for BMP
    // The report's line numbers of this type's steps.
    int confirmLine;  // the question whether to replace an existing file
    int bitmapLine;   // the temporary bitmap written
    int probeLine;    // the destination folder probed
    int runLine;      // the converter run
    int deleteLine;   // the temporary bitmap deleted and the result kept
};

const TypeInfo* typeInfo(int filterIndex) {
    static const TypeInfo kTypes[] = {
        {".bmp", nullptr, 138, 0, 0, 0, 0},
        {".jpg", "jpeg  -truecolors ", 152, 162, 164, 178, 182},
        {".gif", "gif  -dither -colors 256 ", 190, 200, 202, 220, 224},
        {".png", "png  ", 232, 242, 244, 262, 266},
    };
    return filterIndex >= 1 && filterIndex <= 4 ? &kTypes[filterIndex - 1] : nullptr;
}

void deleteFileQuietly(const QString& path) {
    QCoreApplication::processEvents();
    QFile::remove(path);
}

bool isWritableFolder(const QString& path) {
    const QFileInfo info(path);
    return !path.isEmpty() && info.isDir() && info.isWritable();
}

// Writes bytes to destination through a temporary file beside it, which takes
// the name only once complete: a failure leaves any earlier file as it was.
void writeAtomically(const QString& destination, const QByteArray& bytes) {
    const std::string why = convert::writeFileAtomically(
        QFile::encodeName(destination).toStdString(), convert::Publish::Replace, [&](int fd) {
            return convert::writeAll(fd, reinterpret_cast<const uint8_t*>(bytes.constData()),
                                     size_t(bytes.size()))
                       ? std::string()
                       : std::string(std::strerror(errno));
        });
    if (!why.empty())
        fail(QStringLiteral("Cannot write %1: %2")
                 .arg(destination, QString::fromLocal8Bit(why.c_str())));
}

// What the converter said about its failure, without its "program: error: " prefix.
QString converterReason(int exitCode, const QString& lastErrorLine) {
    static const QRegularExpression kPrefix(QStringLiteral("^[^\\s:]+: error: "));
    QString reason = lastErrorLine;
    reason.remove(kPrefix);
    if (exitCode == process::kFileNotFound + process::kObjectErrorBase)
        return QStringLiteral("it could not be started (%1).").arg(reason);
    if (!reason.isEmpty()) return reason;
    if (exitCode == 0) return QStringLiteral("it wrote no picture.");
    if (exitCode == -1) return QStringLiteral("it crashed.");
    return QStringLiteral("it stopped with exit code %1.").arg(exitCode);
}

}  // namespace

QString saveExtension(int filterIndex) {
    const TypeInfo* type = typeInfo(filterIndex);
    return type ? QString::fromLatin1(type->extension) : QString();
}

QString saveBasePath(const QString& path) {
    static const QStringList kKnown = {".bmp", ".jpg", ".gif", ".png"};
    if (kKnown.contains(path.right(4).toLower())) return path.left(path.size() - 4);
    return path;
}

QString temporaryRoot() {
    const QString temp = qEnvironmentVariable("TEMP");
    if (isWritableFolder(temp)) return temp;
    return QDir::tempPath();
}

void saveResults(const SaveContext& c) {
    StepRunner run(Command::SaveResults, c.reportError);
    QString path;
    int filterIndex = 0;
    run.step(106, [&] {
        path = c.dialogs->saveFile(
            c.window, QStringLiteral("Save File"),
            {QStringLiteral("Bitmap Files (*.bmp)"), QStringLiteral("JPG Files (*.jpg)"),
             QStringLiteral("GIF Files (*.gif)"), QStringLiteral("PNG Files (*.png)")},
            &filterIndex);
    });
    if (path.isEmpty()) return;
    run.step(110, [&] { c.setPointer(11); });

    // Extract the converter. A private folder for this save holds it and the
    // temporary bitmap, so neither sits under a fixed name in a shared folder.
    QString width;
    run.step(112, [&] { width = addressWidth(); });
    int resourceId = 101;
    run.step(114, [&] { resourceId = converterResourceId(width); });
    // Each converter build has its own pair of steps.
    const int loadLine = resourceId == 102 ? 116 : 120;
    const int writeLine = resourceId == 102 ? 118 : 122;
    QByteArray converterProgram;
    const bool loaded = run.step(loadLine, [&] {
        if (!c.extractConverter) converterProgram = converterBytes(resourceId);
    });
    std::unique_ptr<QTemporaryDir> work;
    QString converter;
    run.step(writeLine, [&] {
        work = std::make_unique<QTemporaryDir>(temporaryRoot() +
                                               QStringLiteral("/velmora-save-XXXXXX"));
        if (!work->isValid())
            fail(QStringLiteral("Cannot create a temporary folder in %1: %2")
                     .arg(temporaryRoot(), work->errorString()));
        converter = work->filePath(QStringLiteral("velmora-convert"));
        // Without its bytes no converter is written; its start then fails and says so.
        if (c.extractConverter)
            c.extractConverter(converter);
        else if (loaded)
            writeBytesToFile(converterProgram, converter);
    });
    converterProgram = QByteArray();
    const bool haveWork = work && work->isValid();
    run.step(124, [] { QCoreApplication::processEvents(); });
    QImage picture;
    run.step(126, [&] {
        if (c.redraw) c.redraw();
        picture = c.picture().convertToFormat(QImage::Format_RGB888);
    });

    QString base = path;
    run.step(128, [&] { base = saveBasePath(path); });
    const TypeInfo* type = typeInfo(filterIndex);
    auto cleanUp = [&] {
        run.step(268, [&] {
            if (haveWork) deleteFileQuietly(converter);
            work.reset();
            c.setPointer(0);
        });
    };
    if (!type) {
        cleanUp();
        return;
    }
    const QString destination = base + QLatin1String(type->extension);

    // Overwrite check. The old file is replaced only once the new one is complete.
    const QFileInfo existing(destination);
    // Every existing file is asked about: Linux has no hidden attribute, and a
    // name that begins with a dot ("/dir/.png") is an ordinary file to lose.
    if (existing.exists() && existing.isFile()) {
        bool replace = false;
        run.step(type->confirmLine, [&] {
            replace = c.dialogs->confirm(
                c.window, QStringLiteral("Quillmere"),
                QStringLiteral("This folder already contains a file named ") + existing.fileName() +
                    QStringLiteral("\r\nWould you like to repace the existing file?"));
        });
        if (!replace) {
            cleanUp();
            return;
        }
    }

    if (!type->format) {
        run.step(144, [&] {
            QByteArray bytes;
            QBuffer buffer(&bytes);
            buffer.open(QIODevice::WriteOnly);
            if (picture.isNull() || !picture.save(&buffer, "BMP"))
                fail(QStringLiteral("Cannot encode the picture as BMP."));
            writeAtomically(destination, bytes);
        });
    } else if (haveWork) {
        const QString bitmap = work->filePath(QStringLiteral("picture.bmp"));
        const QString converted =
            work->filePath(QStringLiteral("converted") + QLatin1String(type->extension));
        bool haveBitmap = false;
        run.step(type->bitmapLine, [&] {
            if (picture.isNull() || !picture.save(bitmap, "BMP"))
                fail(QStringLiteral("Cannot write the temporary bitmap %1; %2 was not saved.")
                         .arg(bitmap, destination));
            haveBitmap = true;
        });
        bool writable = false;
        run.step(type->probeLine, [&] {
            // Probe the destination folder before the picture is converted.
            const QFileInfo target(destination);
            if (!QFileInfo(target.absolutePath()).isDir())
                fail(QStringLiteral("Cannot write %1: the folder does not exist").arg(destination));
            if (!QFileInfo(target.absolutePath()).isWritable() ||
                (target.exists() && !target.isWritable()))
                fail(QStringLiteral("Cannot write %1: Permission denied").arg(destination));
            writable = true;
        });
        int exitCode = -1;
        QString reason;
        if (haveBitmap && writable) {
            run.step(type->runLine, [&] {
                exitCode = process::runAndWait(
                    converterCommandLine(converter, QLatin1String(type->format), converted, bitmap),
                    0, &reason);
            });
        }
        // Closing the window ends the save at once, with no message; the private
        // folder goes with everything in it.
        if (exitCode == process::kAbandoned) {
            c.setPointer(0);
            return;
        }
        run.step(type->deleteLine, [&] { deleteFileQuietly(bitmap); });
        if (haveBitmap && writable) {
            run.step(type->deleteLine, [&] {
                QFile result(converted);
                if (exitCode != 0 || !result.open(QIODevice::ReadOnly))
                    fail(destination +
                         QStringLiteral(" was not saved.\r\nThe converter reported: ") +
                         converterReason(exitCode, reason));
                writeAtomically(destination, result.readAll());
            });
        }
    }
    cleanUp();
}

}  // namespace velmora
