// The check for files cut short must not refuse sound files of the less common
// shapes: progressive or thumbnail-carrying JPEGs, data after the end, animated
// or trailer-less GIFs, padded, top-down, palette and one-bit BMPs.
#include "picture_file.h"

#include <QBuffer>
#include <QImageWriter>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <cstring>
#include <functional>
#include <tuple>

#include "hostile.h"

using namespace velmora::hostile;

namespace {

QByteArray encoded(const QImage& image, const char* format,
                   const std::function<void(QImageWriter&)>& tune = {}) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, format);
    if (tune) tune(writer);
    EXPECT_TRUE(writer.write(image)) << format;
    return bytes;
}

QImage brick() {
    return QImage(VELMORA_TEST_DATA "/brick.png").convertToFormat(QImage::Format_RGB32);
}

QByteArray jpegWithThumbnail() {
    const QByteArray thumbnail = encoded(brick().scaled(40, 40), "JPEG");  // its own FFD8 ... FFD9
    const QByteArray body = QByteArray("Exif\0\0", 6) + thumbnail;
    QByteArray segment = QByteArray::fromHex("ffe1");
    segment.append(char((body.size() + 2) >> 8))
        .append(char((body.size() + 2) & 0xff))
        .append(body);
    const QByteArray main = encoded(brick(), "JPEG");
    return main.left(2) + segment + main.mid(2);
}

// A 24-bit BMP turned top-down: negative height, rows in reading order.
QByteArray topDownBmp(const QImage& image) {
    QByteArray bytes = encoded(image.convertToFormat(QImage::Format_RGB888), "BMP");
    quint32 offset = 0;
    memcpy(&offset, bytes.constData() + 10, 4);
    const qint32 height = -image.height();
    memcpy(bytes.data() + 22, &height, 4);
    const int rowBytes = (image.width() * 24 + 31) / 32 * 4;
    QByteArray rows;
    for (int y = image.height() - 1; y >= 0; --y)
        rows += bytes.mid(offset + y * rowBytes, rowBytes);
    return bytes.left(offset) + rows;
}

struct SoundFile {
    const char* name;
    std::function<QByteArray(const QString& work)> make;
};
void PrintTo(const SoundFile& f, std::ostream* os) { *os << f.name; }

QByteArray gifOfBrick(const QString& work) {
    const QString bmp = work + "/brick.bmp";
    EXPECT_TRUE(brick().convertToFormat(QImage::Format_RGB888).save(bmp, "BMP"));
    return gifOf(bmp, work);
}

const SoundFile kSound[] = {
    {"CameraJpeg", [](const QString&) { return fileBytes(VELMORA_TEST_DATA "/rocket.jpg"); }},
    {"ProgressiveJpeg",
     [](const QString&) {
         return encoded(brick(), "JPEG", [](QImageWriter& w) { w.setProgressiveScanWrite(true); });
     }},
    {"JpegWithThumbnail", [](const QString&) { return jpegWithThumbnail(); }},
    {"JpegWithDataAfterTheEnd",
     [](const QString&) { return encoded(brick(), "JPEG") + QByteArray(300, '\x5a'); }},
    {"Gif", gifOfBrick},
    {"GifWithoutTrailer", [](const QString& w) { return gifOfBrick(w).chopped(1); }},
    {"GifWithASecondFrameCutShort",
     [](const QString& w) {
         // The shown first frame is whole; only the frame after it is cut.
         const QByteArray gif = gifOfBrick(w);
         const qsizetype frame = gif.indexOf(QByteArray::fromHex("2c0000000000020002"));
         EXPECT_GT(frame, 13);
         EXPECT_EQ(gif.back(), '\x3b');
         const QByteArray second = gif.mid(frame, gif.size() - 1 - frame);
         return gif.chopped(1) + second.left(second.size() / 2);
     }},
    {"PaddedRowsBmp",
     [](const QString&) {
         return encoded(brick().copy(0, 0, 13, 7).convertToFormat(QImage::Format_RGB888), "BMP");
     }},
    {"TopDownBmp", [](const QString&) { return topDownBmp(brick().copy(0, 0, 13, 9)); }},
    {"PaletteBmp",
     [](const QString&) {
         return encoded(brick().copy(0, 0, 31, 17).convertToFormat(QImage::Format_Indexed8), "BMP");
     }},
    {"OneBitBmp",
     [](const QString&) {
         return encoded(brick().copy(0, 0, 13, 5).convertToFormat(QImage::Format_Mono), "BMP");
     }},
};

class SoundPictureFile : public ::testing::TestWithParam<SoundFile> {};

TEST_P(SoundPictureFile, LoadsWholeAndIsRefusedWhenHalved) {
    QTemporaryDir work;
    ASSERT_TRUE(work.isValid());
    const QByteArray bytes = GetParam().make(work.path());
    const QImage expected = QImage::fromData(bytes).convertToFormat(QImage::Format_RGB32);
    ASSERT_FALSE(expected.isNull());

    const QString path = work.filePath("sound");
    writeBytes(path, bytes);
    QString error;
    const QImage loaded = velmora::readPictureFile(path, &error);
    EXPECT_TRUE(error.isEmpty()) << error.toStdString();
    EXPECT_TRUE(loaded == expected) << "the file did not load as its decoder reads it";
    EXPECT_EQ(loaded.dotsPerMeterX(), expected.dotsPerMeterX());
    EXPECT_EQ(loaded.dotsPerMeterY(), expected.dotsPerMeterY());

    // Halfway through, the picture data is always short.
    const QString half = work.filePath("half");
    writeBytes(half, bytes.left(bytes.size() / 2));
    error.clear();
    EXPECT_TRUE(velmora::readPictureFile(half, &error).isNull());
    EXPECT_TRUE(error.contains("half")) << error.toStdString();
}

INSTANTIATE_TEST_SUITE_P(Hostile, SoundPictureFile, ::testing::ValuesIn(kSound),
                         [](const auto& info) { return std::string(info.param.name); });

// The bitmap writer's own fast path gives Qt's bytes: odd widths pad their rows,
// and a picture without a resolution gets Qt's 72 dots per inch.
TEST(WritePictureTo, BitmapIsByteForByteQts) {
    for (const auto& [width, height, dotsPerMeter] :
         {std::tuple(1, 1, 3780), std::tuple(5, 3, 0), std::tuple(13, 7, 2835),
          std::tuple(16, 9, 3780)}) {
        QImage image = brick().copy(3, 2, width, height);
        image.setDotsPerMeterX(dotsPerMeter);
        image.setDotsPerMeterY(dotsPerMeter);
        QTemporaryFile file;
        ASSERT_TRUE(file.open());
        EXPECT_EQ(velmora::writePictureTo(int(file.handle()), image, "BMP"), "");
        file.seek(0);
        EXPECT_TRUE(file.readAll() == encoded(image, "BMP")) << width << "x" << height;
    }
}

// Metafiles: drawn at their stated size with the shapes in place, or refused
// with the reason when cut off, malformed or without a size.
struct WmfCase {
    const char* name;
    std::function<QByteArray()> make;
    const char* refusal;  // nullptr: loads
};
void PrintTo(const WmfCase& c, std::ostream* os) { *os << c.name; }

QByteArray patched(QByteArray bytes, qsizetype at, quint32 value, int size = 4) {
    for (int k = 0; k < size; ++k) bytes[at + k] = char((value >> (8 * k)) & 0xff);
    return bytes;
}

const WmfCase kWmf[] = {
    {"Placeable", [] { return wmfDrawing(WmfSize::Placeable); }, nullptr},
    {"WindowExtentAt96Dpi", [] { return wmfDrawing(WmfSize::WindowExtent); }, nullptr},
    {"NoSize", [] { return wmfDrawing(WmfSize::None); }, "no picture size"},
    {"NoEndRecord", [] { return wmfDrawing(WmfSize::Placeable).chopped(6); }, "no end record"},
    {"HeaderSizeLargerThanFile",
     [] { return patched(wmfDrawing(WmfSize::Placeable), 22 + 6, 0x10000); }, "incomplete"},
    // The first record (SetWindowOrg) claims 2^31 words.
    {"RecordPastTheEnd", [] { return patched(wmfDrawing(WmfSize::Placeable), 40, 0x80000000u); },
     "runs past the end"},
    // The polygon's point count, beyond its record.
    {"PointsPastTheRecord",
     [] {
         const QByteArray bytes = wmfDrawing(WmfSize::Placeable);
         return patched(bytes, bytes.indexOf(QByteArray::fromHex("2403f000")) + 2, 0x7fff, 2);
     },
     "too short"},
    {"BoxOf32767Inches",
     [] { return patched(patched(wmfDrawing(WmfSize::Placeable), 10, 0x7fff7fff), 14, 1, 2); },
     "too large"},
};

class WmfFile : public ::testing::TestWithParam<WmfCase> {};

TEST_P(WmfFile, LoadsAtItsSizeOrIsRefused) {
    QTemporaryDir work;
    ASSERT_TRUE(work.isValid());
    const QString path = work.filePath("drawing.wmf");
    writeBytes(path, GetParam().make());
    QString error;
    const QImage image = velmora::readPictureFile(path, &error);
    if (GetParam().refusal) {
        EXPECT_TRUE(image.isNull());
        EXPECT_TRUE(error.contains("drawing.wmf") && error.contains(GetParam().refusal))
            << error.toStdString();
        return;
    }
    ASSERT_FALSE(image.isNull()) << error.toStdString();
    EXPECT_EQ(image.size(), QSize(384, 288));
    const struct {
        QPoint at;
        QRgb colour;
    } expected[] = {{{2, 2}, qRgb(255, 255, 255)},     {{120, 96}, qRgb(220, 30, 30)},
                    {{190, 140}, qRgb(220, 30, 30)},   {{276, 120}, qRgb(30, 30, 220)},
                    {{120, 216}, qRgb(240, 200, 20)},  {{150, 216}, qRgb(240, 200, 20)},
                    {{170, 216}, qRgb(255, 255, 255)}, {{200, 100}, qRgb(255, 255, 255)}};
    for (const auto& e : expected)
        EXPECT_EQ(image.pixel(e.at), e.colour) << e.at.x() << "," << e.at.y();
    int dark = 0;
    for (int y = 216; y < 252; ++y)
        for (int x = 216; x < 384; ++x) dark += qGray(image.pixel(x, y)) < 60;
    EXPECT_GT(dark, 300) << "the text is missing";
}

INSTANTIATE_TEST_SUITE_P(Hostile, WmfFile, ::testing::ValuesIn(kWmf),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
