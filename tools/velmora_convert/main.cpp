// velmora-convert: turns the save command's temporary BMP into JPEG, GIF or PNG.
// Usage: velmora-convert -out jpeg|gif|png [-truecolors] [-dither] [-colors N] [-meta FILE]
//        -o OUTPUT INPUT.bmp
// -meta FILE: keep FILE's EXIF, IPTC, XMP and colour profile in a JPEG or PNG OUTPUT.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "bmp_reader.h"
#include "metadata.h"
#include "picture_writer.h"

namespace {

[[noreturn]] void fail(const QString& message) {
    std::fprintf(stderr, "velmora-convert: error: %s\n",
                 message.simplified().toLocal8Bit().constData());
    std::exit(1);
}

// Well above the largest picture the window holds (400 million pixels), so every
// picture it can save converts; past it the reader refuses before allocating.
constexpr int64_t kMaxPixels = int64_t(1) << 30;

void quietMessages(QtMsgType, const QMessageLogContext&, const QString&) {}

// Kinds of BMP the reader leaves to Qt (run-length data, an embedded JPEG or PNG),
// with Qt's allocation limit lifted: the pixel limit above is the guard.
velmora::convert::RgbPicture readWithQt(const QString& input) {
    QImageReader::setAllocationLimit(0);
    QImageReader reader(input);
    reader.setDecideFormatFromContent(true);
    const QImage image = reader.read().convertToFormat(QImage::Format_RGB888);
    if (image.isNull()) fail(QStringLiteral("cannot read %1: %2").arg(input, reader.errorString()));
    if (int64_t(image.width()) * image.height() > kMaxPixels)
        fail(QStringLiteral("cannot read %1: the picture is too large").arg(input));
    velmora::convert::RgbPicture picture;
    picture.width = image.width();
    picture.height = image.height();
    if (!picture.rgb.allocate(size_t(image.width()) * image.height() * 3))
        fail(QStringLiteral("cannot read %1: out of memory").arg(input));
    for (int y = 0; y < image.height(); ++y)
        std::memcpy(picture.row(y), image.constScanLine(y), picture.rowBytes());
    return picture;
}

// Reads the BMP through a private mapping, so the file is never held twice.
velmora::convert::RgbPicture readInput(const QString& input) {
    const QByteArray path = QFile::encodeName(input);
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        fail(QStringLiteral("cannot read %1: %2")
                 .arg(input, QString::fromLocal8Bit(std::strerror(errno))));
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        fail(QStringLiteral("cannot read %1: not a regular file").arg(input));
    }
    const size_t size = size_t(st.st_size);
    void* map =
        size ? ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0) : MAP_FAILED;
    ::close(fd);
    if (map == MAP_FAILED)
        fail(QStringLiteral("cannot read %1: %2")
                 .arg(input, size ? QString::fromLocal8Bit(std::strerror(errno))
                                  : QStringLiteral("the file is empty")));
    velmora::convert::RgbPicture picture;
    std::string why;
    const auto kind = velmora::convert::readBmp(static_cast<const uint8_t*>(map), size, kMaxPixels,
                                                &picture, &why);
    ::munmap(map, size);
    if (kind == velmora::convert::BmpRead::Unsupported) return readWithQt(input);
    if (kind != velmora::convert::BmpRead::Ok)
        fail(QStringLiteral("cannot read %1: %2").arg(input, QString::fromStdString(why)));
    return picture;
}

}  // namespace

int main(int argc, char** argv) {
    // Qt's codec warnings would break the one-line error contract on stderr.
    qInstallMessageHandler(quietMessages);
    QCoreApplication app(argc, argv);

    QString format, output, input, metadataFile;
    bool dither = false;
    int colors = 256;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.empty()) continue;  // a stray empty token from a loosely split command line
        auto value = [&](const char* flag) {
            if (i + 1 >= argc)
                fail(QStringLiteral("option %1 needs a value").arg(QString::fromUtf8(flag)));
            return QString::fromLocal8Bit(argv[++i]);
        };
        if (arg == "-out") {
            format = value("-out").toLower();
        } else if (arg == "-o") {
            output = value("-o");
        } else if (arg == "-meta") {
            metadataFile = value("-meta");
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
            if (!input.isEmpty()) fail(QStringLiteral("more than one input file given"));
            input = QString::fromLocal8Bit(argv[i]);
        }
    }
    if (format.isEmpty()) fail(QStringLiteral("missing -out FORMAT"));
    if (format != "jpeg" && format != "jpg" && format != "gif" && format != "png")
        fail(QStringLiteral("unsupported output format %1").arg(format));
    if (output.isEmpty()) fail(QStringLiteral("missing -o OUTPUT"));
    if (input.isEmpty()) fail(QStringLiteral("missing input file"));

    const std::string outPath = QFile::encodeName(output).toStdString();
    auto cannotWrite = [&](const std::string& why) {
        fail(
            QStringLiteral("cannot write %1: %2").arg(output, QString::fromLocal8Bit(why.c_str())));
    };
    // The save command never asks for a file to be replaced; refuse early, before the work.
    if (QFileInfo::exists(output) || QFileInfo(output).isSymLink())
        cannotWrite(std::strerror(EEXIST));

    velmora::convert::PictureMetadata metadata;
    if (!metadataFile.isEmpty() && velmora::convert::canHoldMetadata(format.toStdString())) {
        const std::string why = velmora::convert::readMetadata(
            QFile::encodeName(metadataFile).toStdString(), &metadata);
        if (!why.empty())
            fail(QStringLiteral("cannot read the metadata of %1: %2")
                     .arg(metadataFile, QString::fromStdString(why)));
    }

    velmora::convert::RgbPicture picture;
    try {
        picture = readInput(input);
    } catch (const std::bad_alloc&) {
        fail(QStringLiteral("cannot read %1: out of memory").arg(input));
    }
    velmora::convert::EncodeOptions options;
    options.gifColours = colors;
    options.gifDither = dither;
    // Published only when whole, and never over a file that appeared meanwhile.
    const std::string why = velmora::convert::writePictureFile(
        outPath, picture, *velmora::convert::formatOfExtension(format.toStdString()),
        velmora::convert::Publish::NeverReplace, options, [&](int, const std::string& temporary) {
            return velmora::convert::writeMetadata(temporary, metadata, picture.width,
                                                   picture.height);
        });
    if (!why.empty()) cannotWrite(why);
    return 0;
}
