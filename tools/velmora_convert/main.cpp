// velmora-convert: turns the save command's temporary BMP into JPEG, GIF or PNG.
// Usage: velmora-convert -out jpeg|gif|png [-truecolors] [-dither] [-colors N] -o OUTPUT INPUT.bmp
#include "gif_writer.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>
#include <QImageWriter>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// JPEG quality 95: visually lossless for photos while the file stays a moderate size.
constexpr int kJpegQuality = 95;

[[noreturn]] void fail(const QString &message)
{
    std::fprintf(stderr, "velmora-convert: error: %s\n", message.simplified().toLocal8Bit().constData());
    std::exit(1);
}

void quietMessages(QtMsgType, const QMessageLogContext &, const QString &) {}

} // namespace

int main(int argc, char **argv)
{
    // Qt's codec warnings would break the one-line error contract on stderr.
    qInstallMessageHandler(quietMessages);
    QCoreApplication app(argc, argv);

    QString format, output, input;
    bool dither = false;
    int colors = 256;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.empty())
            continue; // a stray empty token from a loosely split command line
        auto value = [&](const char *flag) {
            if (i + 1 >= argc)
                fail(QStringLiteral("option %1 needs a value").arg(QString::fromUtf8(flag)));
            return QString::fromLocal8Bit(argv[++i]);
        };
        if (arg == "-out") {
            format = value("-out").toLower();
        } else if (arg == "-o") {
            output = value("-o");
        } else if (arg == "-truecolors") {
            // JPEG is always written in true colours; accepted for the save command's line.
        } else if (arg == "-dither") {
            dither = true;
        } else if (arg == "-colors") {
            bool ok = false;
            colors = value("-colors").toInt(&ok);
            if (!ok || colors < 2 || colors > 256)
                fail(QStringLiteral("-colors must be between 2 and 256"));
        } else if (arg[0] == '-' && arg.size() > 1) {
            fail(QStringLiteral("unknown option %1").arg(QString::fromLocal8Bit(argv[i])));
        } else {
            if (!input.isEmpty())
                fail(QStringLiteral("more than one input file given"));
            input = QString::fromLocal8Bit(argv[i]);
        }
    }
    if (format.isEmpty())
        fail(QStringLiteral("missing -out FORMAT"));
    if (format != "jpeg" && format != "jpg" && format != "gif" && format != "png")
        fail(QStringLiteral("unsupported output format %1").arg(format));
    if (output.isEmpty())
        fail(QStringLiteral("missing -o OUTPUT"));
    if (input.isEmpty())
        fail(QStringLiteral("missing input file"));

    const QByteArray outPath = QFile::encodeName(output);
    if (QFileInfo::exists(output) || QFileInfo(output).isSymLink())
        fail(QStringLiteral("output file already exists: %1").arg(output));

    QImageReader reader(input);
    reader.setDecideFormatFromContent(true);
    QImage image = reader.read();
    if (image.isNull())
        fail(QStringLiteral("cannot read %1: %2").arg(input, reader.errorString()));

    // Encode into a private temporary beside OUTPUT, so OUTPUT only ever appears complete.
    QByteArray tmpl = QFile::encodeName(QFileInfo(output).absolutePath()) + "/.velmora-convert-XXXXXX";
    int fd = mkstemp(tmpl.data());
    if (fd < 0)
        fail(QStringLiteral("cannot write %1: %2").arg(output, QString::fromLocal8Bit(std::strerror(errno))));
    auto abandon = [&](const QString &why) {
        ::unlink(tmpl.constData());
        fail(QStringLiteral("cannot write %1: %2").arg(output, why));
    };

    if (format == "gif") {
        QString err = velmora::convert::writeGif(image, fd, colors, dither);
        if (!err.isEmpty())
            abandon(err);
    } else {
        QFile file;
        if (!file.open(fd, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle))
            abandon(file.errorString());
        QImageWriter writer(&file, format == "png" ? "png" : "jpeg");
        if (format != "png") {
            image = image.convertToFormat(QImage::Format_RGB888);
            writer.setQuality(kJpegQuality);
        }
        if (!writer.write(image))
            abandon(writer.errorString());
        if (!file.flush())
            abandon(file.errorString());
        file.close();
    }
    {
        // Catch a full disk before publishing, not after.
        int check = ::open(tmpl.constData(), O_RDONLY);
        if (check < 0 || ::fsync(check) != 0) {
            if (check >= 0)
                ::close(check);
            abandon(QString::fromLocal8Bit(std::strerror(errno)));
        }
        ::close(check);
    }
    // mkstemp makes the file private; give it the permissions a plain new file would get.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::chmod(tmpl.constData(), 0666 & ~mask);

    // link() refuses an existing target, so a file that appeared meanwhile is never replaced.
    if (::link(tmpl.constData(), outPath.constData()) != 0) {
        const int e = errno;
        ::unlink(tmpl.constData());
        if (e == EEXIST)
            fail(QStringLiteral("output file already exists: %1").arg(output));
        fail(QStringLiteral("cannot write %1: %2").arg(output, QString::fromLocal8Bit(std::strerror(e))));
    }
    ::unlink(tmpl.constData());
    return 0;
}
