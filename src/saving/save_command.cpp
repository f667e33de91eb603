#include "save_command.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <cerrno>
#include <cstring>
#include <memory>

#include "atomic_file.h"
#include "converter.h"
#include "error_report.h"
#include "picture.h"
#include "picture_file.h"
#include "process_runner.h"
#include "save_folder.h"
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

// Writes destination through a temporary file beside it, which takes the name
// only once complete: a failure leaves any earlier file as it was. This is the
// one place where the window's saves reach their destination.
void publish(const QString& destination, const convert::WriteContent& content) {
    const std::string why = convert::writeFileAtomically(
        QFile::encodeName(destination).toStdString(), convert::Publish::Replace, content);
    if (!why.empty())
        fail(QStringLiteral("Cannot write %1: %2")
                 .arg(destination, QString::fromLocal8Bit(why.c_str())));
}

std::string writeBytes(int fd, const char* bytes, size_t size) {
    return convert::writeAll(fd, reinterpret_cast<const uint8_t*>(bytes), size)
               ? std::string()
               : std::string(std::strerror(errno));
}

// The content of the file at source, copied a piece at a time.
convert::WriteContent copyOf(const QString& source) {
    return [source](int fd) -> std::string {
        QFile in(source);
        if (!in.open(QIODevice::ReadOnly)) return in.errorString().toStdString();
        QByteArray piece(1 << 20, Qt::Uninitialized);
        for (qint64 n; (n = in.read(piece.data(), piece.size())) > 0;)
            if (std::string why = writeBytes(fd, piece.constData(), size_t(n)); !why.empty())
                return why;
        return in.error() == QFileDevice::NoError ? std::string() : in.errorString().toStdString();
    };
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

namespace {

// One run of the save command. Each method is one stage of it, its steps
// numbered as the error report quotes them; a failed step is reported and the
// run goes on with the next, as in every command of the window.
class SaveRun {
public:
    explicit SaveRun(const SaveContext& context)
        : m_c(context), m_run(Command::SaveResults, context.reportError) {}

    void run() {
        if (!chooseDestination()) return;
        prepareConverter();
        takePicture();
        if (m_type && confirmReplace()) {
            if (!m_type->format) {
                saveBitmap();
            } else if (haveFolder() && !convertPicture()) {
                // Closing the window ends the save at once, with no message; the
                // private folder goes with everything in it.
                m_c.setPointer(0);
                return;
            }
        }
        cleanUp();
    }

private:
    bool haveFolder() const { return m_folder && m_folder->isValid(); }

    bool chooseDestination() {
        m_run.step(106, [&] {
            m_path = m_c.dialogs->saveFile(
                m_c.window, QStringLiteral("Save File"),
                {QStringLiteral("Bitmap Files (*.bmp)"), QStringLiteral("JPG Files (*.jpg)"),
                 QStringLiteral("GIF Files (*.gif)"), QStringLiteral("PNG Files (*.png)")},
                &m_filterIndex);
        });
        if (m_path.isEmpty()) return false;
        m_run.step(110, [&] { m_c.setPointer(11); });
        return true;
    }

    // The converter comes from the program's installation when it has one;
    // otherwise the stored build is run from memory, or where the system has no
    // memory files, from the save's private folder.
    void prepareConverter() {
        QString width;
        m_run.step(112, [&] { width = addressWidth(); });
        int resourceId = 101;
        m_run.step(114, [&] { resourceId = converterResourceId(width); });
        // Each converter build has its own pair of steps.
        const int loadLine = resourceId == 102 ? 116 : 120;
        const int writeLine = resourceId == 102 ? 118 : 122;
        const QString installed = m_c.extractConverter ? QString() : installedConverter();
        QByteArray program;
        const bool loaded = m_run.step(loadLine, [&] {
            if (!m_c.extractConverter && installed.isEmpty()) program = converterBytes(resourceId);
        });
        m_run.step(writeLine, [&] {
            m_folder = std::make_unique<SaveFolder>(temporaryRoot());
            if (!m_folder->isValid())
                fail(QStringLiteral("Cannot create a temporary folder in %1: %2")
                         .arg(temporaryRoot(), m_folder->errorString()));
            // Without its bytes no converter is placed; its start then fails and says so.
            m_converter = m_folder->filePath(QStringLiteral("velmora-convert"));
            if (m_c.extractConverter) {
                m_c.extractConverter(m_converter);
            } else if (!installed.isEmpty()) {
                m_converter = installed;
            } else if (loaded) {
                m_inMemory = std::make_unique<ConverterInMemory>(program);
                if (m_inMemory->isValid())
                    m_converter = m_inMemory->path();
                else
                    writeBytesToFile(program, m_converter);
            }
        });
    }

    void takePicture() {
        m_run.step(124, [] { QCoreApplication::processEvents(); });
        m_run.step(126, [&] {
            if (m_c.redraw) m_c.redraw();
            // Kept as it is: the bitmap writer takes 32-bit pixels and writes 24-bit ones.
            m_picture = m_c.picture();
        });
        QString base = m_path;
        m_run.step(128, [&] { base = saveBasePath(m_path); });
        m_type = typeInfo(m_filterIndex);
        if (m_type) m_destination = base + QLatin1String(m_type->extension);
    }

    // Every existing file is asked about: Linux has no hidden attribute, and a
    // name that begins with a dot ("/dir/.png") is an ordinary file to lose.
    // The old file is replaced only once the new one is complete.
    bool confirmReplace() {
        const QFileInfo existing(m_destination);
        if (!existing.exists() || !existing.isFile()) return true;
        bool replace = false;
        m_run.step(m_type->confirmLine, [&] {
            replace = m_c.dialogs->confirm(
                m_c.window, QStringLiteral("Quillmere"),
                QStringLiteral("This folder already contains a file named ") + existing.fileName() +
                    QStringLiteral("\r\nWould you like to repace the existing file?"));
        });
        return replace;
    }

    void saveBitmap() {
        m_run.step(144, [&] {
            if (m_picture.isNull()) fail(QStringLiteral("Cannot encode the picture as BMP."));
            // Straight into the file: a camera photo's bitmap is not held in memory first.
            publish(m_destination, [&](int fd) { return writePictureTo(fd, m_picture, "BMP"); });
        });
    }

    // Returns false when the application quit while the converter ran.
    bool convertPicture() {
        const QString bitmap = m_folder->filePath(QStringLiteral("picture.bmp"));
        const QString converted =
            m_folder->filePath(QStringLiteral("converted") + QLatin1String(m_type->extension));
        bool haveBitmap = false;
        QString metadataFile;
        m_run.step(m_type->bitmapLine, [&] {
            QFile file(bitmap);
            if (m_picture.isNull() || !file.open(QIODevice::WriteOnly) ||
                !writePictureTo(file.handle(), m_picture, "BMP").empty())
                fail(QStringLiteral("Cannot write the temporary bitmap %1; %2 was not saved.")
                         .arg(bitmap, m_destination));
            // The metadata travels to the converter in a side file beside the bitmap.
            if (!m_c.metadata.empty() &&
                convert::canHoldMetadata(QByteArray(m_type->extension + 1).toStdString())) {
                metadataFile = m_folder->filePath(QStringLiteral("metadata.exv"));
                const std::string why = convert::writeMetadataFile(
                    QFile::encodeName(metadataFile).toStdString(), m_c.metadata);
                if (!why.empty())
                    fail(
                        QStringLiteral("Cannot write the temporary file %1 (%2); %3 was not saved.")
                            .arg(metadataFile, QString::fromStdString(why), m_destination));
            }
            haveBitmap = true;
        });
        bool writable = false;
        m_run.step(m_type->probeLine, [&] {
            // Probe the destination folder before the picture is converted.
            const QFileInfo target(m_destination);
            if (!QFileInfo(target.absolutePath()).isDir())
                fail(QStringLiteral("Cannot write %1: the folder does not exist")
                         .arg(m_destination));
            if (!QFileInfo(target.absolutePath()).isWritable() ||
                (target.exists() && !target.isWritable()))
                fail(QStringLiteral("Cannot write %1: Permission denied").arg(m_destination));
            writable = true;
        });
        int exitCode = -1;
        QString reason;
        if (haveBitmap && writable) {
            m_run.step(m_type->runLine, [&] {
                exitCode = process::runAndWait(
                    converterCommandLine(m_converter, QLatin1String(m_type->format), converted,
                                         bitmap, metadataFile),
                    &reason);
            });
        }
        if (exitCode == process::kAbandoned) return false;
        m_run.step(m_type->deleteLine, [&] { deleteFileQuietly(bitmap); });
        if (haveBitmap && writable) {
            m_run.step(m_type->deleteLine, [&] {
                if (exitCode != 0 || !QFileInfo::exists(converted))
                    fail(m_destination +
                         QStringLiteral(" was not saved.\r\nThe converter reported: ") +
                         converterReason(exitCode, reason));
                publish(m_destination, copyOf(converted));
            });
        }
        return true;
    }

    void cleanUp() {
        m_run.step(268, [&] {
            if (haveFolder())
                deleteFileQuietly(m_folder->filePath(QStringLiteral("velmora-convert")));
            m_inMemory.reset();
            m_folder.reset();
            m_c.setPointer(0);
        });
    }

    const SaveContext& m_c;
    StepRunner m_run;
    QString m_path;
    int m_filterIndex = 0;
    std::unique_ptr<SaveFolder> m_folder;
    std::unique_ptr<ConverterInMemory> m_inMemory;
    QString m_converter;
    QImage m_picture;
    const TypeInfo* m_type = nullptr;
    QString m_destination;
};

}  // namespace

void saveResults(const SaveContext& context) { SaveRun(context).run(); }

}  // namespace velmora
