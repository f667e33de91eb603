// Metafiles written by other programs against libwmf's rendering, and the faults
// that comparison cannot see.
#include "wmf_picture.h"

#include <QSet>
#include <cmath>

#include "hostile.h"
#include "picture_file.h"

namespace {

QImage loaded(const QString& name) {
    QString error;
    const QImage image = velmora::readPictureFile(VELMORA_TEST_DATA "/wmf/" + name, &error);
    EXPECT_FALSE(image.isNull()) << error.toStdString();
    return image;
}

bool ink(const QImage& image, int x, int y) {
    return image.rect().contains(x, y) && qGray(image.pixel(x, y)) < 160;
}

// Percent of the ink of `image` with no ink of `other` within three pixels.
double farInk(const QImage& image, const QImage& other) {
    qint64 inked = 0, far = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            if (!ink(image, x, y)) continue;
            bool near = false;
            for (int d = 0; d < 49 && !near; ++d) near = ink(other, x + d % 7 - 3, y + d / 7 - 3);
            ++inked, far += !near;
        }
    return 100.0 * far / std::max<qint64>(inked, 1);
}

// libwmf draws its own fonts and places some pixels differently: the tolerance
// is a little above what the sound drawing leaves; mirrored text (cell's y axis
// points up), misplaced text and missing shapes go far past it. libwmf frames p0000001 and fulltest
// by what it draws rather than by their window, so their pixels do not line up.
const std::pair<const char*, double> kReferences[] = {
    {"formula1", 2}, {"cell", 1}, {"poi-60677", 4}, {"poi-santa", 0.5}};

class WmfReference : public ::testing::TestWithParam<std::pair<const char*, double>> {};

TEST_P(WmfReference, InkLiesWhereLibwmfDrawsIt) {
    const QString name = GetParam().first;
    const QImage image = loaded(name + ".wmf"),
                 reference(VELMORA_TEST_DATA "/wmf/" + name + ".png");
    ASSERT_EQ(image.size(), reference.size());
    EXPECT_LE(farInk(image, reference), GetParam().second) << "drawn ink far from libwmf's";
    EXPECT_LE(farInk(reference, image), GetParam().second) << "libwmf's ink far from drawn";
}

INSTANTIATE_TEST_SUITE_P(RealFiles, WmfReference, ::testing::ValuesIn(kReferences));

TEST(WmfText, FollowsAdvancesAndEscapement) {
    // Matrix row "1 2 3": advances of 558 and 549 twips, in a window of 4800 x 1792
    // twips without a placeable header: 320 x 119 pixels at 96 dpi.
    const QImage formula = loaded("p0000001.wmf");
    ASSERT_EQ(formula.size(), QSize(320, 119));
    QVector<int> starts;  // columns where a digit's ink begins, between the brackets
    for (int x = 212, before = 0; x < 305; ++x) {
        int column = 0;
        for (int y = 9; y < 32; ++y) column |= ink(formula, x, y);
        if (column && !before) starts << x;
        before = column;
    }
    ASSERT_EQ(starts.size(), 3);
    EXPECT_NEAR(starts[1] - starts[0], 558 / 15.0, 5);
    EXPECT_NEAR(starts[2] - starts[1], 549 / 15.0, 5);

    // fulltest.wmf's "Rotated" has an escapement of 200: its ink rises 20 degrees.
    const QImage chart = loaded("fulltest.wmf");
    double n = 0, mx = 0, my = 0, xx = 0, yy = 0, xy = 0;
    for (int y = chart.height() * 3 / 4; y < chart.height() * 84 / 100; ++y)
        for (int x = chart.width() * 84 / 100; x < chart.width() * 95 / 100; ++x)
            if (ink(chart, x, y)) n += 1, mx += x, my += y, xx += x * x, yy += y * y, xy += x * y;
    mx /= n, my /= n;
    const double twice = std::atan2(2 * (xy / n - mx * my), xx / n - mx * mx - yy / n + my * my);
    EXPECT_NEAR(-twice * 90 / M_PI, 20, 5);
}

// Santa: 90 polygons in 19 brushes and 2 pens on white. Filled unsmoothed, as
// its own device fills them, adjoining shapes leave no blended seam between them.
TEST(WmfFills, AdjoinWithoutBlendedSeams) {
    const QImage image = loaded("poi-santa.wmf");
    QSet<QRgb> colours;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) colours.insert(image.pixel(x, y));
    EXPECT_LE(colours.size(), 19 + 2 + 1);
}

// 100 x 100 pixels, no pen: blue everywhere, R2_NOT over x 0..50, R2_XORPEN
// with red over x 25..75 (no real file found uses a mode other than R2_COPYPEN),
// and a bitmap-less BitBlt PATINVERT of green over y 80..100.
TEST(WmfRaster, AppliesRasterModes) {
    QByteArray bytes = QByteArray::fromHex("010009000003000000000400000000000000");
    const auto record = [&](int function, QVector<int> words) {
        words = QVector<int>{3 + int(words.size()), 0, function} + words;
        for (const int w : words) bytes.append(char(w & 0xff)).append(char((w >> 8) & 0xff));
    };
    record(0x020C, {100, 100}), record(0x02FA, {5, 0, 0, 0, 0}), record(0x012D, {0});
    record(0x02FC, {0, 0, 255, 0}), record(0x012D, {1}), record(0x041B, {100, 100, 0, 0});
    record(0x0104, {6}), record(0x041B, {100, 50, 0, 0});
    record(0x02FC, {0, 255, 0, 0}), record(0x012D, {2}), record(0x0104, {7});
    record(0x041B, {100, 75, 0, 25}), record(0x02FC, {0, 0xff00, 0, 0}), record(0x012D, {3});
    record(0x0922, {0x0049, 0x005A, 0, 0, 0, 20, 100, 80, 0}), record(0x0000, {});
    bytes[6] = char(bytes.size() / 2);
    QString error;
    const QImage image = velmora::readWmfPicture(bytes, "drawing.wmf", &error);
    ASSERT_EQ(image.size(), QSize(100, 100)) << error.toStdString();
    const std::pair<QPoint, QRgb> expected[] = {
        {{10, 40}, qRgb(255, 255, 0)}, {{40, 40}, qRgb(0, 255, 0)},     // NOT blue, then XOR red
        {{60, 40}, qRgb(255, 0, 255)}, {{90, 40}, qRgb(0, 0, 255)},     // blue XOR red, blue
        {{10, 90}, qRgb(255, 0, 0)},   {{90, 90}, qRgb(0, 255, 255)}};  // XOR green
    for (const auto& [at, colour] : expected)
        EXPECT_EQ(image.pixel(at), colour) << at.x() << "," << at.y();
}

}  // namespace
