// The shipped engine against the plain one: on seeded random pictures and on the
// photos, both must give the same bytes, the same step count and the same status,
// with any thread count, and the same picture wherever a run is stopped.

#include <gtest/gtest.h>

#include <QImage>
#include <QString>
#include <algorithm>
#include <cstring>
#include <random>
#include <sstream>
#include <string>

#include "block_search.h"
#include "inpainting.h"
#include "pixel_buffer_adapter.h"
#include "reference_inpainting.h"
#include "test_pictures.h"
#include "test_switches.h"

using namespace velmora;
using namespace velmora::test;

namespace {

struct Outcome {
    InpaintResult result;
    PixelBuffer picture;
};

Outcome runShipped(const PixelBuffer& input, const InpaintOptions& options,
                   InpaintObserver* observer = nullptr) {
    Outcome o{{}, input};
    o.result = Inpaint(o.picture, options, observer);
    return o;
}

Outcome runReference(const PixelBuffer& input, const InpaintOptions& options,
                     InpaintObserver* observer = nullptr) {
    Outcome o{{}, input};
    o.result = reference::Inpaint(o.picture, options, observer);
    return o;
}

// First differing pixel, for a readable failure.
std::string firstDifference(const PixelBuffer& a, const PixelBuffer& b) {
    if (a.width != b.width || a.height != b.height) return "sizes differ";
    for (int y = 0; y < a.height; ++y)
        for (int x = 0; x < a.width; ++x)
            for (int k = 0; k < 4; ++k)
                if (a.bytes[a.offset(x, y) + k] != b.bytes[b.offset(x, y) + k]) {
                    std::ostringstream s;
                    s << "pixel (" << x << ", " << y << ") byte " << k << ": "
                      << int(a.bytes[a.offset(x, y) + k]) << " vs "
                      << int(b.bytes[b.offset(x, y) + k]);
                    return s.str();
                }
    return "none";
}

void expectSame(const Outcome& shipped, const Outcome& plain, const std::string& what) {
    EXPECT_EQ(int(shipped.result.status), int(plain.result.status)) << what;
    EXPECT_EQ(shipped.result.steps, plain.result.steps) << what;
    EXPECT_TRUE(shipped.picture.bytes == plain.picture.bytes)
        << what << ": first difference at " << firstDifference(shipped.picture, plain.picture);
}

// Random pictures with the features that decide searches and priorities: few
// colours (so sums tie), flat patches (so priorities are 0), smooth ramps,
// and byte 3 that varies so it must travel with its pixel.
PixelBuffer randomPicture(std::mt19937& rng, int w, int h) {
    PixelBuffer p(w, h);
    const int kind = int(rng() % 4);
    const int colours = 2 + int(rng() % 5);
    std::uint8_t palette[8][3];
    for (auto& c : palette)
        for (auto& v : c) v = std::uint8_t(rng() % 256);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            std::uint8_t r, g, b;
            if (kind == 0) {  // few colours, noisy
                const auto& c = palette[rng() % unsigned(colours)];
                r = c[0], g = c[1], b = c[2];
            } else if (kind == 1) {  // ramps
                r = std::uint8_t(x * 7 + y), g = std::uint8_t(y * 5), b = std::uint8_t(x * y);
            } else if (kind == 2) {  // stripes and blocks
                const auto& c = palette[((x / 3) + (y / 4)) % colours];
                r = c[0], g = c[1], b = c[2];
            } else {  // free noise
                r = std::uint8_t(rng()), g = std::uint8_t(rng()), b = std::uint8_t(rng());
            }
            if (r == 0 && g == 255 && b == 0) g = 254;  // only marks are pure green
            p.setRgb(x, y, r, g, b);
            p.bytes[p.offset(x, y) + 3] = std::uint8_t(rng() % 4 == 0 ? rng() : 0xFF);
        }
    // A flat patch now and then.
    if (rng() % 2 == 0) {
        const int x0 = int(rng() % unsigned(w)), y0 = int(rng() % unsigned(h));
        const int x1 = std::min(w - 1, x0 + int(rng() % 12)),
                  y1 = std::min(h - 1, y0 + int(rng() % 12));
        for (int y = y0; y <= y1; ++y)
            for (int x = x0; x <= x1; ++x) p.setRgb(x, y, 90, 90, 90);
    }
    return p;
}

// Marks: boxes, scattered pixels, strokes; sometimes on the border, sometimes
// nearly everything.
void randomMarks(std::mt19937& rng, PixelBuffer& p) {
    const int w = p.width, h = p.height;
    const int shapes = 1 + int(rng() % 4);
    for (int s = 0; s < shapes; ++s) {
        const int kind = int(rng() % 5);
        if (kind <= 1) {
            const int bw = 1 + int(rng() % unsigned(std::max(1, w / 3)));
            const int bh = 1 + int(rng() % unsigned(std::max(1, h / 3)));
            const int x0 = int(rng() % unsigned(w)), y0 = int(rng() % unsigned(h));
            markRect(p, x0, y0, std::min(w - 1, x0 + bw - 1), std::min(h - 1, y0 + bh - 1));
        } else if (kind == 2) {
            for (int k = 0, n = 1 + int(rng() % 20); k < n; ++k) {
                const int x = int(rng() % unsigned(w));
                const int y = int(rng() % unsigned(h));
                p.setRgb(x, y, 0, 255, 0);
            }
        } else if (kind == 3) {  // a diagonal stroke
            int x = int(rng() % unsigned(w)), y = int(rng() % unsigned(h));
            for (int k = 0, n = 5 + int(rng() % 30); k < n; ++k) {
                p.setRgb(x, y, 0, 255, 0);
                x = std::clamp(x + int(rng() % 3) - 1, 0, w - 1);
                y = std::clamp(y + int(rng() % 3) - 1, 0, h - 1);
            }
        } else {  // along an edge of the picture
            const int len = 1 + int(rng() % unsigned(std::max(1, w / 2)));
            const int y = rng() % 2 ? 0 : h - 1;
            markRect(p, 0, y, std::min(w - 1, len - 1), y);
        }
    }
}

InpaintOptions optionsWith(int w, int scanBorder, int threads = 1, bool preview = false) {
    InpaintOptions o;
    o.radius = w;
    o.scanBorder = scanBorder;
    o.threads = threads;
    o.preview = preview;
    return o;
}

std::string describe(int seed, const PixelBuffer& p, const InpaintOptions& o) {
    std::ostringstream s;
    s << "seed " << seed << ", " << p.width << "x" << p.height << ", block " << o.radius
      << ", border " << o.scanBorder << ", threads " << o.threads;
    return s.str();
}

// Puts back the kernel set in use and the tiled search's default when a test ends.
struct RestoreSearchSettings {
    std::string kernel = blockSearchKernel();
    ~RestoreSearchSettings() {
        useBlockSearchKernel(kernel);
        alwaysTileSearches(false);
    }
};

PixelBuffer photo(const char* name) {
    const QImage image(QString::fromUtf8(VELMORA_TEST_DATA) + "/" + name);
    if (image.isNull()) return {};
    return toPixelBuffer(image.convertToFormat(QImage::Format_RGB32));
}

}  // namespace

TEST(Differential, RandomSmallPicturesMatchThePlainEngine) {
    int ran = 0, filled = 0, noSource = 0;
    for (int seed = 1; seed <= 400; ++seed) {
        std::mt19937 rng{unsigned(seed)};
        const int w = 1 + int(rng() % 48);
        const int h = 1 + int(rng() % 48);
        PixelBuffer p = randomPicture(rng, w, h);
        randomMarks(rng, p);
        const int radius = 1 + int(rng() % 8);
        // Scan borders from none to past every edge of the picture.
        const int borders[] = {0, 1, 3, 10, 25, 100};
        const InpaintOptions o = optionsWith(radius, borders[rng() % 6], 1 + int(rng() % 3));
        const Outcome shipped = runShipped(p, o);
        expectSame(shipped, runReference(p, o), describe(seed, p, o));
        ++ran;
        filled += shipped.result.steps > 0;
        noSource += shipped.result.status == InpaintStatus::NoSourceArea;
        if (HasFailure()) return;
    }
    // The mix must really exercise both outcomes.
    EXPECT_GT(filled, ran / 3);
    EXPECT_GT(noSource, 10);
}

// A processor without AVX2 takes the narrower kernels; each must give the same fill,
// also where whole tiles of candidates are ruled out at once: on pictures of few
// colours, whose many equal sums tie across tile borders, at the picture's edges,
// where tiles are cut short, and on smooth pictures, where tile bounds are tight.
TEST(Differential, EveryKernelSetMatchesThePlainEngine) {
    const RestoreSearchSettings restore;
    const PixelBuffer rocket = photo("rocket.jpg");
    ASSERT_TRUE(rocket.isValid());
    int checked = 0;
    for (const char* kernel : {"scalar", "sse2", "avx2"}) {
        if (!useBlockSearchKernel(kernel)) continue;
        ASSERT_EQ(std::string(blockSearchKernel()), kernel);
        ++checked;
        for (const bool tiled : {false, true}) {
            alwaysTileSearches(tiled);
            // Tiles need windows of a few thousand centres: fewer, larger pictures.
            const int side = tiled ? 64 : 8, seeds = tiled ? 12 : 120;
            for (int seed = 1; seed <= seeds; ++seed) {
                std::mt19937 rng{unsigned(9000 + seed)};
                PixelBuffer p = randomPicture(rng, side + int(rng() % 40), side + int(rng() % 40));
                randomMarks(rng, p);
                const InpaintOptions o = optionsWith(
                    1 + int(rng() % 8), int(rng() % 2) == 0 ? 4 : 100, 1 + int(rng() % 3));
                const std::string what =
                    std::string(kernel) + (tiled ? " tiled " : " ") + describe(seed, p, o);
                expectSame(runShipped(p, o), runReference(p, o), what);
                if (HasFailure()) return;
            }
            PixelBuffer stamped = rocket;
            markRect(stamped, 500, 400, 619, 411);
            const InpaintOptions o = optionsWith(4, 30, 2);
            expectSame(runShipped(stamped, o), runReference(stamped, o),
                       std::string(kernel) + (tiled ? " tiled" : "") + " rocket");
            if (!tiled) continue;
            // Gentle ramps with a little noise: a tile's ranges hug its candidates, so a
            // bound even slightly too high would rule out the winner.
            std::mt19937 rng{77};
            PixelBuffer smooth(160, 120);
            for (int y = 0; y < smooth.height; ++y)
                for (int x = 0; x < smooth.width; ++x)
                    smooth.setRgb(x, y, std::uint8_t(x + y / 2 + rng() % 3),
                                  std::uint8_t(2 * y + rng() % 3),
                                  std::uint8_t(200 - x + rng() % 3));
            markRect(smooth, 60, 40, 89, 69);
            for (const int radius : {2, 4})
                expectSame(runShipped(smooth, optionsWith(radius, 100, 2)),
                           runReference(smooth, optionsWith(radius, 100, 1)),
                           std::string(kernel) + " smooth, radius " + std::to_string(radius));
        }
    }
    EXPECT_GE(checked, 1);
}

// A window many times the size of the box searched first around the target.
TEST(Differential, WideWindowsMatchThePlainEngine) {
    PixelBuffer p = photo("rocket.jpg");
    ASSERT_TRUE(p.isValid());
    markRect(p, 560, 410, 599, 415);
    markRect(p, 300, 40, 305, 47);
    markRect(p, 0, 200, 3, 205);
    const RestoreSearchSettings restore;
    for (const auto& [radius, threads] : {std::pair{2, 1}, std::pair{3, 2}}) {
        const InpaintOptions o = optionsWith(radius, 1000, threads);
        const Outcome plain = runReference(p, o);
        // A photo's smooth parts let tiles be ruled out, unlike random pictures;
        // bounded sixteen at a time, or one by one from the full ranges.
        for (const auto& [tiled, sideBySide] :
             {std::pair{false, true}, std::pair{true, true}, std::pair{true, false}}) {
            alwaysTileSearches(tiled, sideBySide);
            const Outcome shipped = runShipped(p, o);
            EXPECT_GT(shipped.result.steps, 10);
            expectSame(shipped, plain,
                       "radius " + std::to_string(radius) + ", " + std::to_string(threads) +
                           " threads" +
                           (tiled ? sideBySide ? ", tiled" : ", tiled one by one" : ""));
        }
    }
}

// A repeating pattern: every candidate has twins with the same sum all over the
// window, so each search is won by the first of many ties, found by whichever
// share reaches it, in tiles ruled out against sums found by the other shares.
// Byte 3 is not compared but copied, so it shows which twin won.
TEST(Differential, RepeatingPatternTiesGoToTheFirstCandidate) {
    PixelBuffer p(400, 240);
    for (int y = 0; y < p.height; ++y)
        for (int x = 0; x < p.width; ++x) {
            p.setRgb(x, y, std::uint8_t(40 * (x % 5)), std::uint8_t(30 * (y % 7)),
                     std::uint8_t((x + 2 * y) % 3 == 0 ? 200 : 10));
            p.bytes[p.offset(x, y) + 3] = std::uint8_t(x + 3 * y);
        }
    markRect(p, 190, 110, 219, 129);
    const RestoreSearchSettings restore;
    const Outcome plain = runReference(p, optionsWith(4, 1000, 1));
    for (const bool tiled : {false, true}) {
        alwaysTileSearches(tiled);
        for (int threads : {1, 2, 3})
            expectSame(runShipped(p, optionsWith(4, 1000, threads)), plain,
                       std::to_string(threads) + " threads" + (tiled ? ", tiled" : ""));
    }
}

TEST(Differential, EveryBlockSizeFrom1To32MatchesThePlainEngine) {
    for (int radius = 1; radius <= 32; ++radius) {
        std::mt19937 rng{unsigned(1000 + radius)};
        // Room for whole blocks beside a mark of about one block.
        const int side = 2 * radius + 1;
        const int w = 2 * side + 4 + int(rng() % unsigned(side));
        const int h = 2 * side + 2 + int(rng() % unsigned(side));
        PixelBuffer p = randomPicture(rng, w, h);
        const int mw = 1 + int(rng() % unsigned(radius + 2));
        const int mh = 1 + int(rng() % unsigned(radius + 2));
        const int x0 = int(rng() % unsigned(w - mw)), y0 = int(rng() % unsigned(h - mh));
        markRect(p, x0, y0, x0 + mw - 1, y0 + mh - 1);
        const InpaintOptions o = optionsWith(radius, radius % 3 == 0 ? 2 : 10 * radius, 2);
        const Outcome shipped = runShipped(p, o);
        EXPECT_EQ(shipped.result.status, InpaintStatus::Ok) << describe(radius, p, o);
        expectSame(shipped, runReference(p, o), describe(radius, p, o));
        if (HasFailure()) return;
    }
}

TEST(Differential, PhotosMatchThePlainEngine) {
    struct Case {
        const char* name;
        int x, y, w, h;  // the mark
        int radius, border;
    };
    const Case cases[] = {
        {"coffee.png", 470, 370, 120, 22, 4, 10},  // a date stamp in the corner
        {"brick.png", 200, 240, 40, 30, 4, 50},    // an object in texture
        {"astronaut.png", 300, 120, 60, 25, 6, 20},
        {"chelsea.png", 0, 0, 30, 20, 3, 10},  // against two borders
        {"rocket.jpg", 300, 200, 25, 40, 9, 15},
    };
    for (const Case& c : cases) {
        PixelBuffer p = photo(c.name);
        ASSERT_TRUE(p.isValid() && p.width > 0) << c.name;
        markRect(p, c.x, c.y, c.x + c.w - 1, c.y + c.h - 1);
        const InpaintOptions o = optionsWith(c.radius, c.border, 2);
        const Outcome shipped = runShipped(p, o);
        EXPECT_EQ(shipped.result.status, InpaintStatus::Ok) << c.name;
        EXPECT_EQ(countGreen(shipped.picture), 0) << c.name;
        expectSame(shipped, runReference(p, o), c.name);
    }
}

// Several marks far apart: the box spans the picture and so does the search.
TEST(Differential, MarksInEveryCornerMatchThePlainEngine) {
    PixelBuffer p = photo("astronaut.png");
    ASSERT_TRUE(p.isValid() && p.width == 512);
    const PixelBuffer small = [&] {
        PixelBuffer s(128, 128);
        for (int y = 0; y < 128; ++y)
            std::memcpy(&s.bytes[s.offset(0, y)], &p.bytes[p.offset(200, 150 + y)], 128 * 4);
        return s;
    }();
    PixelBuffer marked = small;
    markRect(marked, 0, 0, 9, 7);
    markRect(marked, 118, 0, 127, 9);
    markRect(marked, 2, 119, 12, 127);
    markRect(marked, 115, 116, 125, 125);
    for (int radius : {2, 5}) {
        const InpaintOptions o = optionsWith(radius, 20, 2);
        expectSame(runShipped(marked, o), runReference(marked, o),
                   "corners " + std::to_string(radius));
    }
}

// The data term reads pixel indices linearly, so the left edge's pixels are the
// right edge's neighbours one row off: fills on one edge change gradients seen
// from the other.
TEST(Differential, MarksOnBothSideEdgesMatchThePlainEngine) {
    for (int seed = 0; seed < 400; ++seed) {
        std::mt19937 rng(unsigned(5000 + seed));
        const int radius = 2 + int(rng() % 3);
        const int w = 2 * radius + 12 + int(rng() % 12), h = 12 + int(rng() % 12);
        PixelBuffer p = randomPicture(rng, w, h);
        const int top = 2 + int(rng() % unsigned(h - 6));
        markRect(p, 0, top, int(rng() % 2), top + int(rng() % 3));
        markRect(p, w - 2 - int(rng() % 3), 0, w - 1, h - 1 - int(rng() % 3));
        const InpaintOptions o = optionsWith(radius, int(rng() % 2) == 0 ? 3 : 100);
        expectSame(runShipped(p, o), runReference(p, o), describe(seed, p, o));
    }
}

// Shares of the search are merged in scan order, so the thread count never shows.
TEST(Differential, ThreadCountNeverChangesTheResult) {
    PixelBuffer p = photo("coffee.png");
    ASSERT_TRUE(p.isValid() && p.width > 0);
    markRect(p, 250, 150, 289, 179);
    markRect(p, 470, 370, 589, 391);
    const Outcome one = runShipped(p, optionsWith(4, 60, 1));
    ASSERT_EQ(one.result.status, InpaintStatus::Ok);
    for (int threads : {2, 3, 4, 7, 16}) {
        const Outcome many = runShipped(p, optionsWith(4, 60, threads));
        expectSame(many, one, std::to_string(threads) + " threads");
    }
    const Outcome automatic = runShipped(p, optionsWith(4, 60, 0));
    expectSame(automatic, one, "one thread per processor");
}

// Preview and stop: the calls the caller sees, and the picture a stop leaves.
TEST(Differential, StoppedRunsLeaveThePlainEnginesPicture) {
    std::mt19937 rng(77);
    PixelBuffer p = randomPicture(rng, 40, 30);
    markRect(p, 12, 8, 27, 19);
    for (bool preview : {false, true})
        for (int stopAt : {0, 1, 4, 5, 6, 13, 40, 97}) {
            RecordingObserver a, b;
            a.stopAfterYields = b.stopAfterYields = stopAt;
            const InpaintOptions o = optionsWith(2, 10, 2, preview);
            const Outcome shipped = runShipped(p, o, &a);
            const Outcome plain = runReference(p, o, &b);
            const std::string what =
                "stop after " + std::to_string(stopAt) + (preview ? ", preview" : "");
            expectSame(shipped, plain, what);
            EXPECT_EQ(a.yields, b.yields) << what;
            EXPECT_EQ(a.previews, b.previews) << what;
            EXPECT_TRUE(a.lastPreview.bytes == b.lastPreview.bytes) << what;
            EXPECT_EQ(shipped.result.status, InpaintStatus::Stopped) << what;
        }
}

// A picture in memory with padded rows, as a decoded picture may be.
TEST(Differential, PaddedRowsGiveTheSameFill) {
    std::mt19937 rng(5);
    PixelBuffer p = randomPicture(rng, 37, 29);
    markRect(p, 10, 10, 20, 16);
    const InpaintOptions o = optionsWith(3, 10, 1);
    const Outcome plain = runReference(p, o);
    const std::ptrdiff_t stride = 37 * 4 + 12;
    std::vector<std::uint8_t> padded(std::size_t(stride) * 29, 0xAB);
    for (int y = 0; y < 29; ++y)
        std::memcpy(&padded[std::size_t(y) * std::size_t(stride)], &p.bytes[p.offset(0, y)],
                    37 * 4);
    const PixelView view{padded.data(), 37, 29, stride};
    const InpaintResult r = Inpaint(view, o, nullptr);
    EXPECT_EQ(r.steps, plain.result.steps);
    for (int y = 0; y < 29; ++y) {
        const std::uint8_t* row = &padded[std::size_t(y) * std::size_t(stride)];
        EXPECT_EQ(std::memcmp(row, &plain.picture.bytes[plain.picture.offset(0, y)], 37 * 4), 0)
            << "row " << y;
        for (int k = 37 * 4; k < stride; ++k) ASSERT_EQ(row[k], 0xAB) << "padding of row " << y;
    }
}
