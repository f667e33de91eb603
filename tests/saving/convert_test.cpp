#include <gtest/gtest.h>

#include <QFile>
#include <QImage>
#include <QProcess>
#include <QSet>
#include <QTemporaryDir>

namespace {

struct ConvertRun {
    int exitCode;
    QString error;
};

ConvertRun convert(const QStringList& arguments) {
    QProcess process;
    process.start(QStringLiteral(VELMORA_CONVERT), arguments);
    EXPECT_TRUE(process.waitForFinished(30000));
    return {process.exitCode(), QString::fromLocal8Bit(process.readAllStandardError())};
}

QImage photoLike(int w, int h) {
    QImage image(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) image.setPixel(x, y, qRgb(x * 255 / w, y * 255 / h, (x + y) * 2 % 256));
    return image;
}

double meanAbsoluteError(const QImage& a, const QImage& b) {
    double sum = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y), q = b.pixel(x, y);
            sum += std::abs(qRed(p) - qRed(q)) + std::abs(qGreen(p) - qGreen(q)) +
                   std::abs(qBlue(p) - qBlue(q));
        }
    return sum / (3.0 * a.width() * a.height());
}

class ConvertTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        input = dir.filePath("in.bmp");
        ASSERT_TRUE(picture.save(input, "BMP"));
    }
    QTemporaryDir dir;
    QImage picture = photoLike(64, 48);
    QString input;
};

TEST_F(ConvertTest, GifOfManyColoursHasAtMost256AndStaysClose) {
    const QString out = dir.filePath("out.gif");
    const ConvertRun run = convert({"-out", "gif", "-dither", "-colors", "256", "-o", out, input});
    ASSERT_EQ(run.exitCode, 0) << run.error.toStdString();
    const QImage gif = QImage(out).convertToFormat(QImage::Format_RGB32);
    ASSERT_EQ(gif.size(), picture.size());
    QSet<QRgb> colours;
    for (int y = 0; y < gif.height(); ++y)
        for (int x = 0; x < gif.width(); ++x) colours.insert(gif.pixel(x, y));
    EXPECT_LE(colours.size(), 256);
    EXPECT_LT(meanAbsoluteError(gif, picture), 12.0);
}

TEST_F(ConvertTest, GifOfFewColoursIsExact) {
    QImage few(20, 10, QImage::Format_RGB32);
    for (int y = 0; y < 10; ++y)
        for (int x = 0; x < 20; ++x) few.setPixel(x, y, x < 10 ? qRgb(200, 10, 30) : qRgb(1, 2, 3));
    ASSERT_TRUE(few.save(input, "BMP"));
    const QString out = dir.filePath("few.gif");
    ASSERT_EQ(convert({"-out", "gif", "-dither", "-colors", "256", "-o", out, input}).exitCode, 0);
    EXPECT_EQ(QImage(out).convertToFormat(QImage::Format_RGB32), few);
}

TEST_F(ConvertTest, JpegIsCloseToTheInput) {
    const QString out = dir.filePath("out.jpg");
    ASSERT_EQ(convert({"-out", "jpeg", "-truecolors", "-o", out, input}).exitCode, 0);
    const QImage jpeg = QImage(out).convertToFormat(QImage::Format_RGB32);
    ASSERT_EQ(jpeg.size(), picture.size());
    EXPECT_LT(meanAbsoluteError(jpeg, picture), 4.0);
}

TEST_F(ConvertTest, ExistingOutputIsNeverReplaced) {
    const QString out = dir.filePath("taken.png");
    QFile old(out);
    ASSERT_TRUE(old.open(QIODevice::WriteOnly));
    old.write("mine");
    old.close();
    const ConvertRun run = convert({"-out", "png", "-o", out, input});
    EXPECT_NE(run.exitCode, 0);
    EXPECT_TRUE(run.error.startsWith("velmora-convert: error: "));
    ASSERT_TRUE(old.open(QIODevice::ReadOnly));
    EXPECT_EQ(old.readAll(), "mine");
}

TEST_F(ConvertTest, BadInputOrArgumentsFailWithOneLineAndNoOutput) {
    QFile truncated(dir.filePath("cut.bmp"));
    ASSERT_TRUE(truncated.open(QIODevice::WriteOnly));
    truncated.write("BM\x10\0\0\0", 6);
    truncated.close();
    const struct {
        QStringList arguments;
        QString output;
    } cases[] = {
        {{"-out", "png", "-o", dir.filePath("a.png"), truncated.fileName()}, dir.filePath("a.png")},
        {{"-out", "png", "-o", dir.filePath("b.png"), dir.filePath("none.bmp")}, dir.filePath("b.png")},
        {{"-out", "tiff", "-o", dir.filePath("c.tif"), input}, dir.filePath("c.tif")},
        {{"-out", "png", "-bogus", "-o", dir.filePath("d.png"), input}, dir.filePath("d.png")},
        {{"-out", "png", "-o", dir.filePath("no/such/e.png"), input}, dir.filePath("no/such/e.png")},
    };
    for (const auto& c : cases) {
        const ConvertRun run = convert(c.arguments);
        const std::string label = c.arguments.join(' ').toStdString();
        EXPECT_EQ(run.exitCode, 1) << label;
        EXPECT_EQ(run.error.count('\n'), 1) << label;
        EXPECT_TRUE(run.error.startsWith("velmora-convert: error: ")) << label;
        EXPECT_FALSE(QFile::exists(c.output)) << label;
    }
}

}  // namespace
