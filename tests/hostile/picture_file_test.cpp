// The check for files cut short must not refuse sound files of the less common
// shapes: progressive or thumbnail-carrying JPEGs, data after the end, animated
// or trailer-less GIFs, padded, top-down, palette and one-bit BMPs.
#include "picture_file.h"

#include <QBuffer>
#include <QImageWriter>
#include <QTemporaryDir>
#include <cstring>
#include <functional>

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

    // Halfway through, the picture data is always short.
    const QString half = work.filePath("half");
    writeBytes(half, bytes.left(bytes.size() / 2));
    error.clear();
    EXPECT_TRUE(velmora::readPictureFile(half, &error).isNull());
    EXPECT_TRUE(error.contains("half")) << error.toStdString();
}

INSTANTIATE_TEST_SUITE_P(Hostile, SoundPictureFile, ::testing::ValuesIn(kSound),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
