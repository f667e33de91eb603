#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QProcess>
#include <QSet>
#include <QTemporaryDir>
#include <cstdint>
#include <cstdlib>

namespace {

struct Outcome {
    int exitCode;
    QString err;
};

// Splits like the OS does for the save command's line, doubled spaces included.
Outcome convert(const QString& formatArgs, const QString& out, const QString& in) {
    QStringList args = formatArgs.split(' ', Qt::SkipEmptyParts);
    args.prepend("-out");
    args << "-o" << out << in;
    QProcess p;
    p.start(VELMORA_CONVERT_PATH, args);
    p.waitForFinished(120000);
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
            QString::fromLocal8Bit(p.readAllStandardError())};
}

QImage fewColours(int w, int h) {
    QImage img(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            img.setPixel(x, y,
                         qRgb((x % 8) * 30, (y % 6) * 40, ((x + y) % 5) * 60));  // 240 colours
    return img;
}

QImage gradient(int w, int h) {
    QImage img(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            img.setPixel(x, y,
                         qRgb(x * 255 / (w - 1), y * 255 / (h - 1), (x + y) * 255 / (w + h - 2)));
    return img;
}

double meanAbsError(const QImage& a, const QImage& b) {
    QImage x = a.convertToFormat(QImage::Format_RGB32), y = b.convertToFormat(QImage::Format_RGB32);
    double sum = 0;
    for (int r = 0; r < x.height(); ++r)
        for (int c = 0; c < x.width(); ++c) {
            QRgb p = x.pixel(c, r), q = y.pixel(c, r);
            sum += std::abs(qRed(p) - qRed(q)) + std::abs(qGreen(p) - qGreen(q)) +
                   std::abs(qBlue(p) - qBlue(q));
        }
    return sum / (3.0 * x.width() * x.height());
}

// Writes a 24-bit BMP of horizontal colour bands straight to disk, so pictures
// larger than any QImage the test could afford cost only the file.
bool writeBandedBmp(const QString& path, int w, int h) {
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly)) return false;
    const qint64 stride = (qint64(w) * 3 + 3) / 4 * 4, dataSize = stride * h;
    QByteArray head(54, '\0');
    auto put = [&](int at, quint32 v) {
        for (int k = 0; k < 4; ++k) head[at + k] = char(v >> (8 * k));
    };
    head[0] = 'B';
    head[1] = 'M';
    put(2, quint32(54 + dataSize));
    put(10, 54);
    put(14, 40);
    put(18, quint32(w));
    put(22, quint32(h));
    head[26] = 1;
    head[28] = 24;
    put(34, quint32(dataSize));
    f.write(head);
    QByteArray band(stride * 64, '\0');
    for (int y = 0; y < h; y += 64) {
        const int rows = std::min(64, h - y);
        band.fill(char(y / 64 * 37), stride * rows);
        if (f.write(band.constData(), stride * rows) != stride * rows) return false;
    }
    return f.flush();
}

// Width and height as the file's own header gives them.
QSize headerSize(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return {};
    const QByteArray b = f.read(1 << 16);
    auto be16 = [&](qsizetype at) { return int(quint8(b[at])) << 8 | quint8(b[at + 1]); };
    if (b.startsWith("\x89PNG")) return QSize(be16(16) << 16 | be16(18), be16(20) << 16 | be16(22));
    if (b.startsWith("GIF"))
        return QSize(quint8(b[6]) | quint8(b[7]) << 8, quint8(b[8]) | quint8(b[9]) << 8);
    const qsizetype sof = b.indexOf("\xff\xc0");
    return sof < 0 ? QSize() : QSize(be16(sof + 7), be16(sof + 5));
}

class Convert : public ::testing::Test {
protected:
    QTemporaryDir dir;
    QString path(const QString& name) const { return dir.filePath(name); }
    QString bmp(const QImage& img, const QString& name = "in.bmp") {
        QString p = path(name);
        EXPECT_TRUE(img.convertToFormat(QImage::Format_RGB888).save(p, "BMP"));
        return p;
    }
    void expectOneLineError(const Outcome& r) {
        EXPECT_NE(r.exitCode, 0);
        EXPECT_TRUE(r.err.startsWith("velmora-convert: error: ")) << r.err.toStdString();
        EXPECT_EQ(r.err.count('\n'), 1) << r.err.toStdString();
    }
};

TEST_F(Convert, PngIsPixelIdentical) {
    QImage src = gradient(61, 43);
    Outcome r = convert("png  ", path("out.png"), bmp(src));
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    QImage back(path("out.png"));
    ASSERT_FALSE(back.isNull());
    EXPECT_EQ(back.convertToFormat(QImage::Format_RGB32), src);
}

TEST_F(Convert, GreyPngStaysGreyAndLossless) {
    QImage src(37, 23, QImage::Format_RGB32);
    for (int y = 0; y < src.height(); ++y)
        for (int x = 0; x < src.width(); ++x)
            src.setPixel(x, y,
                         qRgb((x * 7 + y * 3) % 256, (x * 7 + y * 3) % 256, (x * 7 + y * 3) % 256));
    Outcome r = convert("png  ", path("grey.png"), bmp(src));
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    QFile f(path("grey.png"));
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.read(26).at(25), 0) << "IHDR colour type should be grey";
    EXPECT_EQ(QImage(path("grey.png")).convertToFormat(QImage::Format_RGB32), src);
}

TEST_F(Convert, JpegKeepsFullColourResolution) {
    Outcome r = convert("jpeg  -truecolors ", path("full.jpg"), bmp(gradient(40, 24)));
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    QFile f(path("full.jpg"));
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray b = f.readAll();
    const qsizetype sof = b.indexOf("\xff\xc0");
    ASSERT_GE(sof, 0);
    ASSERT_EQ(b.at(sof + 9), 3);
    for (int c = 0; c < 3; ++c)
        EXPECT_EQ(quint8(b.at(sof + 11 + 3 * c)), 0x11) << "component " << c << " is subsampled";
}

// 36 MP lies past Qt's default allocation limit; 20000 x 20000 is the largest picture the window
// holds.
TEST_F(Convert, CameraAndLargestPicturesConvertToEveryFormat) {
    for (QSize size : {QSize(8000, 4500), QSize(20000, 20000)}) {
        const QString in = path("big.bmp");
        ASSERT_TRUE(writeBandedBmp(in, size.width(), size.height()));
        for (const char* args : {"png  ", "jpeg  -truecolors ", "gif  -dither -colors 256 "}) {
            const QString out = path("big.out");
            Outcome r = convert(args, out, in);
            EXPECT_EQ(r.exitCode, 0) << args << r.err.toStdString();
            EXPECT_EQ(headerSize(out), size) << args;
            if (size.height() < 10000 && QByteArray(args).startsWith("jpeg")) {
                // Camera sizes take the tables fitted to a sample of the rows: the whole must still
                // decode.
                QImageReader::setAllocationLimit(0);
                const QImage back =
                    QImageReader(out).read().convertToFormat(QImage::Format_Grayscale8);
                ASSERT_EQ(back.size(), size);
                double error = 0;
                for (int y = 0; y < size.height(); ++y)
                    for (int x = 0; x < size.width(); x += 7)
                        error += std::abs(back.constScanLine(y)[x] -
                                          (size.height() - 1 - y) / 64 * 37 % 256);
                EXPECT_LT(error / (size.height() * (size.width() / 7 + 1)), 1.0);
            }
            QFile::remove(out);
        }
        QFile::remove(in);
    }
}

TEST_F(Convert, JpegKeepsSizeAndIsClose) {
    QImage src = gradient(80, 50);
    Outcome r = convert("jpeg  -truecolors ", path("out.jpg"), bmp(src));
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    QFile f(path("out.jpg"));
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_TRUE(f.read(3).startsWith("\xff\xd8\xff"));
    QImage back(path("out.jpg"));
    ASSERT_EQ(back.size(), src.size());
    EXPECT_LT(meanAbsError(src, back), 3.0);
}

TEST_F(Convert, GifWithFewColoursIsExact) {
    QImage src = fewColours(40, 30);
    Outcome r = convert("gif  -dither -colors 256 ", path("out.gif"), bmp(src));
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    QImage back(path("out.gif"));
    ASSERT_FALSE(back.isNull());
    EXPECT_EQ(back.convertToFormat(QImage::Format_RGB32), src);
}

TEST_F(Convert, GifOfGradientHasAtMost256ColoursAndIsClose) {
    QImage src = gradient(96, 64);
    Outcome r = convert("gif  -dither -colors 256 ", path("out.gif"), bmp(src));
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    QImage back(path("out.gif"));
    ASSERT_EQ(back.size(), src.size());
    QImage rgb = back.convertToFormat(QImage::Format_RGB32);
    QSet<QRgb> seen;
    for (int y = 0; y < rgb.height(); ++y)
        for (int x = 0; x < rgb.width(); ++x) seen.insert(rgb.pixel(x, y));
    EXPECT_LE(seen.size(), 256);
    EXPECT_LT(meanAbsError(src, back), 8.0);
}

TEST_F(Convert, GifIsDeterministic) {
    QString in = bmp(gradient(50, 40));
    ASSERT_EQ(convert("gif  -dither -colors 256 ", path("a.gif"), in).exitCode, 0);
    ASSERT_EQ(convert("gif  -dither -colors 256 ", path("b.gif"), in).exitCode, 0);
    QFile a(path("a.gif")), b(path("b.gif"));
    ASSERT_TRUE(a.open(QIODevice::ReadOnly) && b.open(QIODevice::ReadOnly));
    EXPECT_EQ(a.readAll(), b.readAll());
}

TEST_F(Convert, ExistingOutputIsNeverReplaced) {
    QString out = path("out.png");
    {
        QFile f(out);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("keep me");
    }
    Outcome r = convert("png  ", out, bmp(gradient(8, 8)));
    expectOneLineError(r);
    QFile f(out);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), QByteArray("keep me"));
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(),
              2);  // no leftover temporary
}

TEST_F(Convert, BadInputOrArgumentsFailWithOneLineAndNoOutput) {
    const QString good = bmp(gradient(8, 8));
    QFile cut(path("cut.bmp"));
    ASSERT_TRUE(cut.open(QIODevice::WriteOnly));
    cut.write("BM\x10\0\0\0", 6);
    cut.close();
    const struct {
        const char* format;
        QString output, input;
    } cases[] = {
        {"png  ", path("a.png"), cut.fileName()},
        {"jpeg  -truecolors ", path("b.jpg"), path("nowhere.bmp")},
        {"tiff  ", path("c.tif"), good},
        {"png -fast ", path("d.png"), good},
        {"gif  -dither -colors 256 ", path("missing/e.gif"), good},
    };
    for (const auto& c : cases) {
        const Outcome r = convert(c.format, c.output, c.input);
        expectOneLineError(r);
        EXPECT_FALSE(QFile::exists(c.output)) << c.format;
    }
}

TEST_F(Convert, PathsWithSpacesWork) {
    QImage src = fewColours(9, 7);
    Outcome r = convert("png  ", path("my out.png"), bmp(src, "my in.bmp"));
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_EQ(QImage(path("my out.png")).convertToFormat(QImage::Format_RGB32), src);
}

}  // namespace
