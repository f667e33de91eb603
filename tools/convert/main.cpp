// velmora-convert: turns the bitmap the save command writes into JPEG, GIF or PNG.
//   velmora-convert -out FORMAT [-truecolors] [-dither] [-colors N] -o OUTPUT INPUT
// It never replaces an existing OUTPUT and leaves no partial file behind.
#include <gif_lib.h>

#include <QFile>
#include <QFileInfo>
#include <QCoreApplication>
#include <QImage>
#include <QImageReader>
#include <QSaveFile>
#include <QTemporaryFile>

#include <cstdio>
#include <cstring>
#include <unistd.h>
#include <cerrno>
#include <string>

#include "gif_palette.h"

namespace {

// High enough to be visually lossless on photos at a moderate file size.
constexpr int kJpegQuality = 95;

[[noreturn]] void die(const QString& message) {
    std::fprintf(stderr, "velmora-convert: error: %s\n", message.toLocal8Bit().constData());
    std::exit(1);
}

struct Options {
    QString format;
    bool dither = false;
    int colors = 256;
    QString output;
    QString input;
};

Options parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto next = [&]() -> QString {
            if (i + 1 >= argc) die(QStringLiteral("%1 needs a value").arg(argv[i]));
            return QString::fromLocal8Bit(argv[++i]);
        };
        if (a == "-out") o.format = next().toLower();
        else if (a == "-o") o.output = next();
        else if (a == "-truecolors") continue;
        else if (a == "-dither") o.dither = true;
        else if (a == "-colors") {
            bool ok = false;
            o.colors = next().toInt(&ok);
            if (!ok || o.colors < 2 || o.colors > 256) die(QStringLiteral("-colors takes 2 to 256"));
        } else if (!a.empty() && a[0] == '-') die(QStringLiteral("unknown option %1").arg(argv[i]));
        else if (o.input.isEmpty()) o.input = QString::fromLocal8Bit(argv[i]);
        else die(QStringLiteral("more than one input file"));
    }
    if (o.format != "jpeg" && o.format != "jpg" && o.format != "png" && o.format != "gif")
        die(QStringLiteral("-out takes jpeg, gif or png"));
    if (o.output.isEmpty()) die(QStringLiteral("no output file (-o)"));
    if (o.input.isEmpty()) die(QStringLiteral("no input file"));
    return o;
}

void writeGif(const QImage& rgb, const Options& o, const QString& path) {
    const velmora::IndexedPicture indexed = velmora::quantize(rgb, o.colors, o.dither);
    int error = 0;
    GifFileType* gif = EGifOpenFileName(QFile::encodeName(path).constData(), false, &error);
    if (!gif) die(QStringLiteral("cannot write %1: %2").arg(path, GifErrorString(error)));
    int bits = 1;
    while ((1 << bits) < int(indexed.palette.size())) ++bits;
    ColorMapObject* map = GifMakeMapObject(1 << bits, nullptr);
    for (int i = 0; i < (1 << bits); ++i) {
        const QRgb c = i < int(indexed.palette.size()) ? indexed.palette[i] : 0;
        map->Colors[i] = {GifByteType(qRed(c)), GifByteType(qGreen(c)), GifByteType(qBlue(c))};
    }
    bool ok = EGifPutScreenDesc(gif, rgb.width(), rgb.height(), bits, 0, map) == GIF_OK &&
              EGifPutImageDesc(gif, 0, 0, rgb.width(), rgb.height(), false, nullptr) == GIF_OK;
    for (int y = 0; ok && y < rgb.height(); ++y) {
        ok = EGifPutLine(gif, const_cast<GifByteType*>(&indexed.indices[size_t(y) * rgb.width()]),
                         rgb.width()) == GIF_OK;
    }
    GifFreeMapObject(map);
    if (EGifCloseFile(gif, &error) != GIF_OK || !ok)
        die(QStringLiteral("cannot write %1: %2").arg(path, GifErrorString(error ? error : gif->Error)));
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const Options o = parse(argc, argv);
    if (QFileInfo::exists(o.output)) die(QStringLiteral("%1 exists already").arg(o.output));

    QImageReader reader(o.input);
    QImage image = reader.read();
    if (image.isNull())
        die(QStringLiteral("cannot read %1: %2").arg(o.input, reader.errorString()));
    image = image.convertToFormat(QImage::Format_RGB32);

    // Written under a temporary name beside the output, then linked into place.
    const QFileInfo target(o.output);
    QTemporaryFile temp(target.absolutePath() + QStringLiteral("/.velmora-convert-XXXXXX"));
    if (!temp.open())
        die(QStringLiteral("cannot write %1: %2").arg(o.output, temp.errorString()));
    const QString tempPath = temp.fileName();
    if (o.format == "gif") {
        temp.close();
        writeGif(image, o, tempPath);
    } else {
        const char* format = o.format == "png" ? "PNG" : "JPEG";
        const int quality = o.format == "png" ? -1 : kJpegQuality;
        if (!image.save(&temp, format, quality) || !temp.flush())
            die(QStringLiteral("cannot write %1: %2").arg(o.output, temp.errorString()));
        temp.close();
    }
    // link() refuses an existing name, so a file that appeared meanwhile is kept.
    if (::link(QFile::encodeName(tempPath).constData(), QFile::encodeName(o.output).constData()) != 0)
        die(QStringLiteral("cannot write %1: %2").arg(o.output, QString::fromLocal8Bit(std::strerror(errno))));
    return 0;
}
