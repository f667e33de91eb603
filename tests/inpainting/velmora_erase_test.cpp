// velmora-erase end to end: run as a process on small pictures in a temporary folder.

#include <gtest/gtest.h>

#include <QColor>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

namespace {

struct RunResult {
    int exitCode = -1;
    QString out;
    QString err;
};

RunResult runTool(const QStringList& args) {
    QProcess process;
    process.start(QStringLiteral(VELMORA_ERASE_PATH), args);
    process.waitForFinished(60000);
    RunResult r;
    r.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    r.out = QString::fromLocal8Bit(process.readAllStandardOutput());
    r.err = QString::fromLocal8Bit(process.readAllStandardError());
    return r;
}

QImage texture(int w, int h) {
    QImage image(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            image.setPixel(x, y,
                           qRgb((x * 37 + y * 11) % 200 + 20, (x * 53 + y * 29) % 180 + 10,
                                (x * y * 7 + 13) % 220));
    return image;
}

void paintGreen(QImage& image, int x0, int y0, int x1, int y1) {
    for (int y = y0; y <= y1; ++y)
        for (int x = x0; x <= x1; ++x) image.setPixel(x, y, qRgb(0, 255, 0));
}

bool hasGreen(const QImage& image) {
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if ((image.pixel(x, y) & 0xFFFFFF) == 0x00FF00) return true;
    return false;
}

class VelmoraErase : public ::testing::Test {
protected:
    QString path(const char* name) const { return m_dir.filePath(QString::fromUtf8(name)); }
    QTemporaryDir m_dir;
};

}  // namespace

TEST_F(VelmoraErase, FillsTheGreenBoxAndPrintsTheSteps) {
    QImage in = texture(60, 50);
    paintGreen(in, 20, 18, 35, 30);
    ASSERT_TRUE(in.save(path("in.png")));
    const RunResult r =
        runTool({"--block-size", "4", "--scan-border", "30", path("in.png"), path("out.png")});
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_TRUE(r.out.startsWith("steps: ")) << r.out.toStdString();
    EXPECT_GT(r.out.mid(7).trimmed().toInt(), 0);
    const QImage out(path("out.png"));
    ASSERT_FALSE(out.isNull());
    EXPECT_EQ(out.size(), in.size());
    EXPECT_FALSE(hasGreen(out));
    EXPECT_EQ(out.pixel(0, 0), in.pixel(0, 0));
}

TEST_F(VelmoraErase, WritesBmpByExtension) {
    QImage in = texture(40, 40);
    paintGreen(in, 15, 15, 20, 20);
    ASSERT_TRUE(in.save(path("in.png")));
    const RunResult r = runTool({path("in.png"), path("out.bmp")});
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    const QImage out(path("out.bmp"), "BMP");
    ASSERT_FALSE(out.isNull());
    EXPECT_FALSE(hasGreen(out));
}

TEST_F(VelmoraErase, DrawsTheTextOfAMetafileWithItsFonts) {
    // Only a metafile gets the application whose fonts its text needs; without
    // them the tool crashes or draws each letter as a block.
    const QString wmf = QStringLiteral(VELMORA_TEST_DATA "/wmf/formula1.wmf");
    const RunResult r = runTool({wmf, path("out.png")});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    const auto ink = [](const QImage& image) {
        int dark = 0;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x) dark += qGray(image.pixel(x, y)) < 160;
        return dark;
    };
    const QImage out(path("out.png")),
        drawnByLibwmf(QStringLiteral(VELMORA_TEST_DATA "/wmf/formula1.png"));
    ASSERT_EQ(out.size(), drawnByLibwmf.size());
    EXPECT_NEAR(ink(out), ink(drawnByLibwmf), ink(drawnByLibwmf) / 2);
}

TEST_F(VelmoraErase, NothingMarkedWritesTheInputWithZeroSteps) {
    const QImage in = texture(30, 30);
    ASSERT_TRUE(in.save(path("in.png")));
    const RunResult r = runTool({path("in.png"), path("out.png")});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out.trimmed(), QStringLiteral("steps: 0"));
    const QImage out = QImage(path("out.png")).convertToFormat(QImage::Format_RGB32);
    EXPECT_EQ(out, in);
}

TEST_F(VelmoraErase, MaskFileMarksItsNonBlackPixels) {
    const QImage in = texture(40, 40);
    QImage mask(40, 40, QImage::Format_RGB32);
    mask.fill(Qt::black);
    for (int y = 10; y < 20; ++y)
        for (int x = 12; x < 22; ++x) mask.setPixel(x, y, qRgb(1, 0, 0));
    ASSERT_TRUE(in.save(path("in.png")));
    ASSERT_TRUE(mask.save(path("mask.png")));
    const RunResult r = runTool({"--mask", path("mask.png"), path("in.png"), path("out.png")});
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_GT(r.out.mid(7).trimmed().toInt(), 0);
    const QImage out(path("out.png"));
    EXPECT_EQ(out.pixel(0, 0), in.pixel(0, 0));
    EXPECT_FALSE(hasGreen(out));
}

TEST_F(VelmoraErase, BadArgumentsExitOneWithoutOutput) {
    const QImage in = texture(30, 30);
    ASSERT_TRUE(in.save(path("in.png")));
    const QList<QStringList> bad = {
        {"--block-size", "1", path("in.png"), path("out.png")},
        {"--block-size", "33", path("in.png"), path("out.png")},
        {"--scan-border", "9", path("in.png"), path("out.png")},
        {"--scan-border", "501", path("in.png"), path("out.png")},
        {"--block-size", "four", path("in.png"), path("out.png")},
        {"--bogus", path("in.png"), path("out.png")},
        {path("in.png")},
        {path("in.png"), path("out.png"), path("extra.png")},
        {path("in.png"), path("out.nosuchformat")},
        {path("missing.png"), path("out.png")},
        {"--mask", path("missing.png"), path("in.png"), path("out.png")},
    };
    for (const QStringList& args : bad) {
        const RunResult r = runTool(args);
        EXPECT_EQ(r.exitCode, 1) << args.join(' ').toStdString();
        EXPECT_TRUE(r.err.startsWith("velmora-erase: error: ")) << r.err.toStdString();
        EXPECT_EQ(r.err.count('\n'), 1) << r.err.toStdString();
        EXPECT_FALSE(QFile::exists(path("out.png")));
        EXPECT_FALSE(QFile::exists(path("out.nosuchformat")));
    }
}

TEST_F(VelmoraErase, AcceptsTheLimitsOfBothRanges) {
    QImage in = texture(200, 150);
    paintGreen(in, 96, 30, 100, 34);
    ASSERT_TRUE(in.save(path("in.png")));
    for (const QStringList& opts : QList<QStringList>{{"--block-size", "2", "--scan-border", "10"},
                                                      {"--block-size=32", "--scan-border=500"}}) {
        const RunResult r = runTool(opts + QStringList{path("in.png"), path("out.png")});
        EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    }
}

TEST_F(VelmoraErase, MaskOfAnotherSizeExitsOne) {
    ASSERT_TRUE(texture(30, 30).save(path("in.png")));
    ASSERT_TRUE(texture(31, 30).save(path("mask.png")));
    const RunResult r = runTool({"--mask", path("mask.png"), path("in.png"), path("out.png")});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_FALSE(QFile::exists(path("out.png")));
}

TEST_F(VelmoraErase, NoSourceAreaExitsTwoWithoutOutput) {
    QImage in = texture(4, 4);
    paintGreen(in, 1, 1, 2, 2);
    ASSERT_TRUE(in.save(path("in.png")));
    const RunResult r = runTool({path("in.png"), path("out.png")});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_TRUE(r.err.startsWith("velmora-erase: error: ")) << r.err.toStdString();
    EXPECT_FALSE(QFile::exists(path("out.png")));
}
