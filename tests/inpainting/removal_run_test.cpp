// Whole removal runs: invariants, limits, stop and preview, and real photos.

#include <gtest/gtest.h>

#include <QImage>
#include <QString>

#include "huge_pages.h"
#include "inpainting.h"
#include "pixel_buffer_adapter.h"
#include "test_pictures.h"

using namespace velmora;
using namespace velmora::test;

namespace {

InpaintOptions optionsWith(int w, int scanBorder, bool preview = false) {
    InpaintOptions o;
    o.radius = w;
    o.scanBorder = scanBorder;
    o.preview = preview;
    return o;
}

// Every pixel that was not pure green before the run is bit-identical after it.
void expectKnownPixelsUntouched(const PixelBuffer& before, const PixelBuffer& after) {
    ASSERT_EQ(before.width, after.width);
    ASSERT_EQ(before.height, after.height);
    for (int y = 0; y < before.height; ++y)
        for (int x = 0; x < before.width; ++x) {
            if (isGreen(before, x, y)) continue;
            const std::size_t o = before.offset(x, y);
            for (int k = 0; k < 4; ++k)
                ASSERT_EQ(before.bytes[o + k], after.bytes[o + k]) << x << "," << y;
        }
}

PixelBuffer photoCrop(const char* name, int x, int y, int w, int h) {
    const QImage image(QString::fromUtf8(VELMORA_TEST_DATA) + "/" + name);
    if (image.isNull()) return {};
    return toPixelBuffer(image.copy(x, y, w, h).convertToFormat(QImage::Format_RGB32));
}

}  // namespace

TEST(RemovalRun, NothingMarkedReturnsZeroAndLeavesThePicture) {
    PixelBuffer p = texturePicture(20, 20);
    const PixelBuffer before = p;
    const InpaintResult r = Inpaint(p, optionsWith(4, 10), nullptr);
    EXPECT_EQ(r.status, InpaintStatus::Ok);
    EXPECT_EQ(r.steps, 0);
    EXPECT_EQ(p.bytes, before.bytes);
}

TEST(RemovalRun, HoleInAFlatPictureFillsBackExactly) {
    PixelBuffer p = flatPicture(40, 30, 120, 80, 40);
    const PixelBuffer original = p;
    markRect(p, 12, 10, 25, 19);
    const InpaintResult r = Inpaint(p, optionsWith(4, 10), nullptr);
    EXPECT_EQ(r.status, InpaintStatus::Ok);
    EXPECT_GE(r.steps, 1);
    EXPECT_EQ(p.bytes, original.bytes);
}

TEST(RemovalRun, SinglePixelTakesOneStep) {
    PixelBuffer p = texturePicture(30, 30);
    p.setRgb(15, 15, 0, 255, 0);
    const InpaintResult r = Inpaint(p, optionsWith(2, 10), nullptr);
    EXPECT_EQ(r.status, InpaintStatus::Ok);
    EXPECT_EQ(r.steps, 1);
    EXPECT_EQ(countGreen(p), 0);
}

TEST(RemovalRun, KnownPixelsStayBitIdenticalAndNoGreenRemains) {
    PixelBuffer p = texturePicture(64, 48);
    markRect(p, 20, 15, 40, 30);
    const PixelBuffer before = p;
    const InpaintResult r = Inpaint(p, optionsWith(4, 10), nullptr);
    EXPECT_EQ(r.status, InpaintStatus::Ok);
    EXPECT_GT(r.steps, 1);
    EXPECT_EQ(countGreen(p), 0);
    expectKnownPixelsUntouched(before, p);
}

TEST(RemovalRun, RegionsTouchingEveryEdgeAndCornerAreFilled) {
    struct Box {
        int x0, y0, x1, y1;
    };
    const Box boxes[] = {
        {0, 0, 2, 2},  {13, 0, 15, 2}, {0, 13, 2, 15}, {13, 13, 15, 15},  // corners
        {6, 0, 9, 1},  {0, 6, 1, 9},   {14, 6, 15, 9}, {6, 14, 9, 15},    // edges
        {0, 7, 15, 8},                                                    // across
    };
    for (const Box& b : boxes) {
        PixelBuffer p = texturePicture(16, 16);
        markRect(p, b.x0, b.y0, b.x1, b.y1);
        const PixelBuffer before = p;
        const InpaintResult r = Inpaint(p, optionsWith(2, 10), nullptr);
        EXPECT_EQ(r.status, InpaintStatus::Ok) << b.x0 << "," << b.y0;
        EXPECT_GE(r.steps, 1);
        EXPECT_EQ(countGreen(p), 0) << b.x0 << "," << b.y0;
        expectKnownPixelsUntouched(before, p);
    }
}

TEST(RemovalRun, StrayGreenPixelOutsideTheMarkIsFilledToo) {
    PixelBuffer p = texturePicture(50, 40);
    markRect(p, 10, 10, 15, 15);
    p.setRgb(40, 30, 0, 255, 0);
    const InpaintResult r = Inpaint(p, optionsWith(2, 10), nullptr);
    EXPECT_EQ(r.status, InpaintStatus::Ok);
    EXPECT_EQ(countGreen(p), 0);
}

TEST(RemovalRun, ParameterLimitsAllComplete) {
    for (int w : {2, 32})
        for (int b : {10, 500}) {
            // Large enough that whole 65 x 65 blocks exist away from the mark.
            PixelBuffer p = texturePicture(200, 150);
            markRect(p, 96, 30, 103, 35);
            const PixelBuffer before = p;
            const InpaintResult r = Inpaint(p, optionsWith(w, b), nullptr);
            EXPECT_EQ(r.status, InpaintStatus::Ok) << w << " " << b;
            EXPECT_GE(r.steps, 1);
            EXPECT_EQ(countGreen(p), 0);
            expectKnownPixelsUntouched(before, p);
        }
}

TEST(RemovalRun, WindowWithoutCandidatesSearchesTheWholePicture) {
    // Scan border 0 keeps candidates inside the box, which is all marked.
    PixelBuffer p = texturePicture(60, 60);
    markRect(p, 20, 20, 39, 39);
    const InpaintResult r = Inpaint(p, optionsWith(2, 0), nullptr);
    EXPECT_EQ(r.status, InpaintStatus::Ok);
    EXPECT_EQ(countGreen(p), 0);
}

TEST(RemovalRun, PictureSmallerThanABlockReportsNoSourceArea) {
    PixelBuffer p = texturePicture(4, 4);
    p.setRgb(1, 1, 0, 255, 0);
    const PixelBuffer before = p;
    const InpaintResult r = Inpaint(p, optionsWith(2, 10), nullptr);
    EXPECT_EQ(r.status, InpaintStatus::NoSourceArea);
    EXPECT_EQ(r.steps, 0);
    EXPECT_FALSE(r.message.empty());
    EXPECT_EQ(p.bytes, before.bytes);
}

TEST(RemovalRun, PictureMarkedEverywhereReportsNoSourceArea) {
    PixelBuffer p = texturePicture(20, 20);
    markRect(p, 0, 0, 19, 19);
    p.setRgb(10, 10, 5, 5, 5);  // one known pixel is not a whole block
    const InpaintResult r = Inpaint(p, optionsWith(2, 10), nullptr);
    EXPECT_EQ(r.status, InpaintStatus::NoSourceArea);
}

TEST(RemovalRun, InvalidBufferIsRefused) {
    PixelBuffer p = texturePicture(10, 10);
    p.bytes.pop_back();
    const InpaintResult r = Inpaint(p, optionsWith(2, 10), nullptr);
    EXPECT_EQ(r.status, InpaintStatus::InvalidInput);
    PixelBuffer q = texturePicture(10, 10);
    EXPECT_EQ(Inpaint(q, optionsWith(0, 10), nullptr).status, InpaintStatus::InvalidInput);
    EXPECT_EQ(Inpaint(q, optionsWith(2, -1), nullptr).status, InpaintStatus::InvalidInput);
}

TEST(RemovalRun, OversizedPictureIsRefusedWithoutWork) {
    PixelBuffer p(32768, 1);
    const InpaintResult r = Inpaint(p, optionsWith(2, 10), nullptr);
    EXPECT_EQ(r.status, InpaintStatus::InvalidInput);
    EXPECT_FALSE(r.message.empty());
}

TEST(RemovalRun, ByteThreeIsCarriedUntouched) {
    PixelBuffer p = texturePicture(40, 40);
    for (std::size_t i = 3; i < p.bytes.size(); i += 4) p.bytes[i] = 0x37;
    markRect(p, 10, 12, 25, 22);
    for (int y = 12; y <= 22; ++y)
        for (int x = 10; x <= 25; ++x) p.bytes[p.offset(x, y) + 3] = 0x99;
    const PixelBuffer before = p;
    ASSERT_EQ(Inpaint(p, optionsWith(3, 10), nullptr).status, InpaintStatus::Ok);
    expectKnownPixelsUntouched(before, p);
    for (std::size_t i = 3; i < p.bytes.size(); i += 4) ASSERT_EQ(p.bytes[i], 0x37);
}

TEST(RemovalRun, SameInputGivesSamePixelsEveryTime) {
    PixelBuffer a = texturePicture(64, 48);
    markRect(a, 18, 14, 41, 29);
    PixelBuffer b = a;
    const InpaintResult ra = Inpaint(a, optionsWith(4, 20), nullptr);
    const InpaintResult rb = Inpaint(b, optionsWith(4, 20), nullptr);
    EXPECT_EQ(ra.steps, rb.steps);
    EXPECT_EQ(a.bytes, b.bytes);
}

TEST(RemovalRun, YieldsFiveTimesPerStepAndPreviewAddsOne) {
    PixelBuffer a = texturePicture(40, 40);
    markRect(a, 15, 15, 24, 24);
    PixelBuffer b = a;
    RecordingObserver plain;
    const InpaintResult ra = Inpaint(a, optionsWith(2, 10), &plain);
    ASSERT_EQ(ra.status, InpaintStatus::Ok);
    EXPECT_EQ(plain.yields, 5 * ra.steps);
    EXPECT_EQ(plain.previews, 0);

    RecordingObserver watching;
    const InpaintResult rb = Inpaint(b, optionsWith(2, 10, true), &watching);
    ASSERT_EQ(rb.status, InpaintStatus::Ok);
    EXPECT_EQ(rb.steps, ra.steps);
    EXPECT_EQ(watching.previews, rb.steps);
    EXPECT_EQ(watching.yields, 6 * rb.steps);
    EXPECT_EQ(a.bytes, b.bytes);  // preview does not change the result
}

TEST(RemovalRun, StopWithoutPreviewReturnsZeroAndLeavesTheMarkedPicture) {
    PixelBuffer p = texturePicture(40, 40);
    markRect(p, 15, 15, 24, 24);
    const PixelBuffer before = p;
    RecordingObserver stopper;
    stopper.stopAfterYields = 12;
    const InpaintResult r = Inpaint(p, optionsWith(2, 10), &stopper);
    EXPECT_EQ(r.status, InpaintStatus::Stopped);
    EXPECT_EQ(r.steps, 0);
    EXPECT_EQ(stopper.yields, 13);
    EXPECT_EQ(p.bytes, before.bytes);
}

TEST(RemovalRun, StopWithPreviewKeepsTheLastPreviewState) {
    PixelBuffer p = texturePicture(40, 40);
    markRect(p, 15, 15, 24, 24);
    const PixelBuffer before = p;
    RecordingObserver stopper;
    stopper.stopAfterYields = 6 * 3 + 2;  // during the fourth step
    const InpaintResult r = Inpaint(p, optionsWith(2, 10, true), &stopper);
    EXPECT_EQ(r.status, InpaintStatus::Stopped);
    EXPECT_EQ(r.steps, 0);
    EXPECT_EQ(stopper.previews, 3);
    EXPECT_EQ(p.bytes, stopper.lastPreview.bytes);
    EXPECT_NE(p.bytes, before.bytes);
    EXPECT_GT(countGreen(p), 0);
    expectKnownPixelsUntouched(before, p);
}

TEST(RemovalRun, FilledPhotoKeepsItsKnownPixels) {
    for (const char* name : {"chelsea.png", "coffee.png", "brick.png", "astronaut.png"}) {
        PixelBuffer p = photoCrop(name, 100, 80, 160, 120);
        ASSERT_TRUE(p.isValid()) << name;
        ASSERT_EQ(p.width, 160) << name;
        markRect(p, 60, 45, 99, 74);  // a 40 x 30 object
        const PixelBuffer before = p;
        const InpaintResult r = Inpaint(p, optionsWith(4, 10), nullptr);
        EXPECT_EQ(r.status, InpaintStatus::Ok) << name;
        EXPECT_GT(r.steps, 10) << name;
        EXPECT_EQ(countGreen(p), 0) << name;
        expectKnownPixelsUntouched(before, p);
    }
}

TEST(RemovalRun, AdapterRoundTripIsExact) {
    PixelBuffer p = texturePicture(17, 9);
    const QImage image = toQImage(p);
    EXPECT_EQ(image.format(), QImage::Format_RGB32);
    EXPECT_EQ(toPixelBuffer(image).bytes, p.bytes);
    p.bytes[3] = 0x10;
    const QImage withAlpha = toQImage(p);
    EXPECT_EQ(withAlpha.format(), QImage::Format_ARGB32);
    EXPECT_EQ(toPixelBuffer(withAlpha).bytes, p.bytes);
    EXPECT_EQ(qRed(image.pixel(3, 2)), p.red(3, 2));
    EXPECT_EQ(qBlue(image.pixel(3, 2)), p.blue(3, 2));
}

TEST(RemovalRun, MemoryFaultedInMeanwhileKeepsWhatIsWritten) {
    // A second thread faults large buffers in from their far end while this one
    // writes them; it must never write a byte itself.
    QImage image = hugePageImage(QSize(2048, 1536), QImage::Format_RGB32, true);
    for (int y = image.height() - 1; y >= 0; --y) {
        auto* row = reinterpret_cast<std::uint32_t*>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x) row[x] = std::uint32_t(y * 4099 + x) | 1u;
    }
    HugePageVector<std::uint32_t> table;
    table.reserve(std::size_t(3) << 20);
    for (std::uint32_t i = 0; i < (3u << 20); ++i) table.push_back(i | 1u);
    long long lost = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            lost += reinterpret_cast<const std::uint32_t*>(image.constScanLine(y))[x] !=
                    (std::uint32_t(y * 4099 + x) | 1u);
    for (std::uint32_t i = 0; i < table.size(); ++i) lost += table[i] != (i | 1u);
    EXPECT_EQ(lost, 0);
}

namespace {
std::uint64_t fnv1a(const std::vector<std::uint8_t>& bytes) {
    std::uint64_t h = 1469598103934665603ull;
    for (std::uint8_t b : bytes) {
        h ^= b;
        h *= 1099511628211ull;
    }
    return h;
}
}  // namespace

// Output fingerprints recorded from the straightforward engine; a faster engine
// must reproduce them bit for bit. Printed on failure so a deliberate change of
// rule can be re-recorded.
TEST(RemovalRun, PhotoOutputsMatchTheirRecordedFingerprints) {
    struct Case {
        const char* name;
        int w, b;
        int steps;
        std::uint64_t hash;
    };
    const Case cases[] = {
        {"chelsea.png", 4, 10, 48, 0x049997b3f8371703ull},
        {"coffee.png", 2, 30, 122, 0x4473044a336c084bull},
        {"brick.png", 6, 50, 23, 0x92029d10b945e936ull},
    };
    for (const Case& c : cases) {
        PixelBuffer p = photoCrop(c.name, 100, 80, 160, 120);
        ASSERT_TRUE(p.isValid()) << c.name;
        markRect(p, 60, 45, 99, 74);
        const InpaintResult r = Inpaint(p, optionsWith(c.w, c.b), nullptr);
        ASSERT_EQ(r.status, InpaintStatus::Ok) << c.name;
        EXPECT_EQ(r.steps, c.steps) << c.name;
        EXPECT_EQ(fnv1a(p.bytes), c.hash) << c.name << " 0x" << std::hex << fnv1a(p.bytes);
    }
}
