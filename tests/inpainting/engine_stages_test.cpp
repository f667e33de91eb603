// The stages of a removal, each checked on a small hand-worked picture. They are
// run on the plain engine; the differential tests tie the shipped one to it.

#include <gtest/gtest.h>

#include <cmath>

#include "reference_inpainting.h"
#include "test_pictures.h"

using namespace velmora;
using namespace velmora::test;
using velmora::reference::grayOf;
using velmora::reference::InpaintEngine;

namespace {
constexpr std::int16_t kKnown = InpaintEngine::kKnown;
constexpr std::int16_t kUnfilled = InpaintEngine::kUnfilled;
constexpr std::int16_t kFront = InpaintEngine::kFront;
}  // namespace

// ---- Fill front -----------------------------------------------------------

TEST(FillFront, DiagonalContactDoesNotMakeAFrontPixel) {
    PixelBuffer p = flatPicture(7, 7, 100, 100, 100);
    markRect(p, 3, 2, 3, 4);  // a plus: the centre touches known pixels only diagonally
    markRect(p, 2, 3, 4, 3);
    InpaintEngine e;
    setUpEngine(e, p, 2);
    EXPECT_EQ(e.maskState(3, 3), kUnfilled);
    EXPECT_EQ(e.maskState(3, 2), kFront);
    EXPECT_EQ(e.maskState(2, 3), kFront);
    EXPECT_EQ(e.maskState(4, 3), kFront);
    EXPECT_EQ(e.maskState(3, 4), kFront);
}

TEST(FillFront, WholePictureMarkedGivesFrontOfBorderPixelsOnly) {
    PixelBuffer p = flatPicture(6, 5, 0, 0, 0);
    markRect(p, 0, 0, 5, 4);
    InpaintEngine e;
    setUpEngine(e, p, 2);
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 6; ++x) {
            const bool border = x == 0 || y == 0 || x == 5 || y == 4;
            EXPECT_EQ(e.maskState(x, y), border ? kFront : kUnfilled) << x << "," << y;
        }
}

TEST(FillFront, NearlyGreenPixelIsKnown) {
    PixelBuffer p = flatPicture(8, 8, 50, 60, 70);
    p.setRgb(4, 4, 0, 254, 0);
    p.setRgb(5, 4, 0, 255, 0);
    InpaintEngine e;
    setUpEngine(e, p, 2);
    EXPECT_EQ(e.maskState(4, 4), kKnown);
    EXPECT_DOUBLE_EQ(e.confidence(4, 4), 1.0);
    EXPECT_EQ(e.maskState(5, 4), kFront);
    EXPECT_DOUBLE_EQ(e.confidence(5, 4), 0.0);
}

TEST(FillFront, ByteThreeDoesNotTakePartInTheColourTest) {
    PixelBuffer p = flatPicture(8, 8, 50, 60, 70);
    p.setRgb(3, 3, 0, 255, 0);
    p.bytes[p.offset(3, 3) + 3] = 0x12;
    InpaintEngine e;
    setUpEngine(e, p, 2);
    EXPECT_EQ(e.maskState(3, 3), kFront);
}

TEST(FillFront, TargetBoxSpansEveryMarkedPixel) {
    PixelBuffer p = flatPicture(20, 15, 50, 60, 70);
    p.setRgb(3, 9, 0, 255, 0);
    p.setRgb(16, 2, 0, 255, 0);
    InpaintEngine e;
    setUpEngine(e, p, 2, 4);
    EXPECT_EQ(e.targetLeft(), 3);
    EXPECT_EQ(e.targetRight(), 16);
    EXPECT_EQ(e.targetTop(), 2);
    EXPECT_EQ(e.targetBottom(), 9);
    EXPECT_EQ(e.searchLeft(), 0);
    EXPECT_EQ(e.searchRight(), 19);
    EXPECT_EQ(e.searchTop(), 0);
    EXPECT_EQ(e.searchBottom(), 13);
}

TEST(FillFront, NothingMarkedMeansNothingUnfilled) {
    InpaintEngine e;
    setUpEngine(e, flatPicture(9, 9, 1, 2, 3), 2);
    EXPECT_FALSE(e.HasUnfilledPixels());
    EXPECT_GT(e.targetTop(), e.targetBottom());
}

TEST(FillFront, PixelsTouchingAFilledBlockJoinTheFront) {
    PixelBuffer p = texturePicture(24, 24);
    markRect(p, 5, 5, 16, 16);
    InpaintEngine e;
    setUpEngine(e, p, 2);
    ASSERT_EQ(e.maskState(8, 6), kUnfilled);
    ASSERT_EQ(e.maskState(6, 8), kUnfilled);
    ASSERT_TRUE(e.sourceBlockOk(20, 20));
    // The block at (5, 5) covers columns and rows 3..7; only 5..7 are filled.
    EXPECT_EQ(e.CopyBlock(5, 5, 20, 20, e.ConfidenceTerm(5, 5)), 9);
    e.UpdateMask(5, 5, MaskColour{});
    EXPECT_EQ(e.maskState(6, 6), kKnown);
    EXPECT_EQ(e.maskState(8, 6), kFront);
    EXPECT_EQ(e.maskState(6, 8), kFront);
    EXPECT_EQ(e.maskState(8, 8), kUnfilled);  // diagonal contact only
    EXPECT_EQ(e.maskState(12, 12), kUnfilled);
}

// ---- Fill priority --------------------------------------------------------

TEST(FillPriority, GrayFormulaWeightsGreenRedBlue) {
    EXPECT_EQ(grayOf(255, 255, 255), 255.0);
    EXPECT_DOUBLE_EQ(grayOf(255, 0, 0), 3735.0 * 255.0 / 32767.0);
    EXPECT_DOUBLE_EQ(grayOf(0, 0, 255), 9765.0 * 255.0 / 32767.0);
    EXPECT_DOUBLE_EQ(grayOf(0, 255, 0), 19267.0 * 255.0 / 32767.0);
    EXPECT_NEAR(grayOf(255, 0, 0), 29.07, 0.01);
    EXPECT_NEAR(grayOf(0, 0, 255), 75.99, 0.01);
    EXPECT_NEAR(grayOf(0, 255, 0), 149.94, 0.01);
    EXPECT_EQ(grayOf(77, 77, 77), 77.0);
}

TEST(FillPriority, GrayImageTakesRedFromByteTwoAndBlueFromByteZero) {
    PixelBuffer p = flatPicture(3, 3, 0, 0, 0);
    p.setRgb(1, 1, 255, 0, 0);
    p.setRgb(2, 1, 0, 0, 255);
    InpaintEngine e;
    setUpEngine(e, p, 1);
    EXPECT_DOUBLE_EQ(e.grayValue(1, 1), 3735.0 * 255.0 / 32767.0);
    EXPECT_DOUBLE_EQ(e.grayValue(2, 1), 9765.0 * 255.0 / 32767.0);
}

TEST(FillPriority, GradientIsCentralInsideAndOneSidedAtBorders) {
    PixelBuffer p(4, 3);
    const int g[3][4] = {{0, 10, 30, 60}, {5, 20, 50, 100}, {40, 40, 40, 40}};
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 4; ++x) setGray(p, x, y, std::uint8_t(g[y][x]));
    InpaintEngine e;
    setUpEngine(e, p, 1);
    EXPECT_EQ(e.Gradient(0, 0), std::make_pair(10.0, 5.0));  // both one-sided
    EXPECT_EQ(e.Gradient(3, 0), std::make_pair(30.0, 40.0));
    EXPECT_EQ(e.Gradient(1, 1), std::make_pair(22.5, 15.0));  // both central
    EXPECT_EQ(e.Gradient(3, 1), std::make_pair(50.0, -10.0));
    EXPECT_EQ(e.Gradient(2, 2), std::make_pair(0.0, -10.0));  // bottom row one-sided
}

TEST(FillPriority, IsolatedFrontPixelUsesTheSlantedDirection) {
    PixelBuffer p = flatPicture(9, 9, 10, 10, 10);
    markRect(p, 4, 4, 4, 4);
    InpaintEngine e;
    setUpEngine(e, p, 2);
    EXPECT_EQ(e.FrontDirection(4, 4), std::make_pair(0.6, 0.8));
}

TEST(FillPriority, VerticalStrokeGivesRowDirectionFirst) {
    PixelBuffer p = flatPicture(9, 9, 10, 10, 10);
    markRect(p, 4, 3, 4, 5);
    InpaintEngine e;
    setUpEngine(e, p, 2);
    EXPECT_EQ(e.FrontDirection(4, 4), std::make_pair(1.0, 0.0));
}

TEST(FillPriority, HorizontalStrokeGivesColumnDirection) {
    PixelBuffer p = flatPicture(9, 9, 10, 10, 10);
    markRect(p, 3, 4, 5, 4);
    InpaintEngine e;
    setUpEngine(e, p, 2);
    EXPECT_EQ(e.FrontDirection(4, 4), std::make_pair(0.0, 1.0));
}

TEST(FillPriority, DiagonalNeighboursGiveNormalisedDirection) {
    PixelBuffer p = flatPicture(9, 9, 10, 10, 10);
    p.setRgb(3, 3, 0, 255, 0);
    p.setRgb(4, 4, 0, 255, 0);
    p.setRgb(5, 5, 0, 255, 0);
    InpaintEngine e;
    setUpEngine(e, p, 2);
    const auto [u, v] = e.FrontDirection(4, 4);
    EXPECT_DOUBLE_EQ(u, 2.0 / std::sqrt(8.0));
    EXPECT_DOUBLE_EQ(v, 2.0 / std::sqrt(8.0));
}

TEST(FillPriority, ConfidenceIsDividedByTheFullBlockAreaAtTheBorder) {
    PixelBuffer p = flatPicture(10, 10, 10, 20, 30);
    p.setRgb(0, 0, 0, 255, 0);
    p.setRgb(5, 5, 0, 255, 0);
    InpaintEngine e;
    setUpEngine(e, p, 2);
    EXPECT_DOUBLE_EQ(e.ConfidenceTerm(0, 0), 8.0 / 25.0);
    EXPECT_DOUBLE_EQ(e.ConfidenceTerm(5, 5), 24.0 / 25.0);
    EXPECT_LT(e.ConfidenceTerm(0, 0), e.ConfidenceTerm(5, 5));
}

TEST(FillPriority, FlatSurroundingsGiveDataTermZero) {
    PixelBuffer p = flatPicture(12, 12, 90, 90, 90);
    markRect(p, 4, 4, 7, 7);
    InpaintEngine e;
    setUpEngine(e, p, 2);
    EXPECT_EQ(e.DataTerm(4, 4), 0.0);
    EXPECT_EQ(e.Priority(4, 4), 0.0);
}

// Column 0 gray 0, other columns 200; the front pixel (1, 4) with w = 1 sees the
// column-0 step only through pixels whose left index neighbour is in column 7.
namespace {
PixelBuffer stepAtLeft(bool markLastColumn) {
    PixelBuffer p = flatPicture(8, 8, 200, 200, 200);
    for (int y = 0; y < 8; ++y) setGray(p, 0, y, 0);
    if (markLastColumn) markRect(p, 7, 0, 7, 7);
    p.setRgb(1, 4, 0, 255, 0);
    return p;
}
PixelBuffer stepAtRight(bool markFirstColumn) {
    PixelBuffer p = flatPicture(8, 8, 200, 200, 200);
    for (int y = 0; y < 8; ++y) setGray(p, 7, y, 0);
    if (markFirstColumn) markRect(p, 0, 0, 0, 7);
    p.setRgb(6, 4, 0, 255, 0);
    return p;
}
}  // namespace

TEST(FillPriority, DataTermAtColumnZeroSeesTheRowAboveThroughTheIndex) {
    InpaintEngine open;
    setUpEngine(open, stepAtLeft(false), 1);
    EXPECT_DOUBLE_EQ(open.DataTerm(1, 4), 0.8 * 200.0 / 255.0);
    InpaintEngine wrapped;
    setUpEngine(wrapped, stepAtLeft(true), 1);
    EXPECT_EQ(wrapped.DataTerm(1, 4), 0.0);
}

TEST(FillPriority, DataTermAtLastColumnSeesTheRowBelowThroughTheIndex) {
    InpaintEngine open;
    setUpEngine(open, stepAtRight(false), 1);
    EXPECT_DOUBLE_EQ(open.DataTerm(6, 4), 0.8 * 200.0 / 255.0);
    InpaintEngine wrapped;
    setUpEngine(wrapped, stepAtRight(true), 1);
    EXPECT_EQ(wrapped.DataTerm(6, 4), 0.0);
}

// A step from 250 to 100 between columns 4 and 5, painted in one row only.
namespace {
PixelBuffer stepInRow(int row, int markX, int markY) {
    PixelBuffer p = flatPicture(9, 9, 100, 100, 100);
    for (int x = 0; x <= 4; ++x) setGray(p, x, row, 250);
    p.setRgb(markX, markY, 0, 255, 0);
    return p;
}
}  // namespace

TEST(FillPriority, PixelsOfTheFirstRowNeverQualify) {
    InpaintEngine top;
    setUpEngine(top, stepInRow(0, 4, 1), 1);
    EXPECT_EQ(top.DataTerm(4, 1), 0.0);
    // The same step two rows lower is seen: gx = (100 - 250) / 2 at (5, 2).
    InpaintEngine inside;
    setUpEngine(inside, stepInRow(2, 4, 3), 1);
    EXPECT_DOUBLE_EQ(inside.DataTerm(4, 3), 0.8 * 75.0 / 255.0);
}

TEST(FillPriority, PixelsOfTheLastRowNeverQualify) {
    InpaintEngine bottom;
    setUpEngine(bottom, stepInRow(8, 4, 7), 1);
    EXPECT_EQ(bottom.DataTerm(4, 7), 0.0);
}

TEST(FillPriority, EqualPrioritiesInOneRowSelectTheLeftPixel) {
    PixelBuffer p(11, 7);
    for (int y = 0; y < 7; ++y)
        for (int x = 0; x < 11; ++x) setGray(p, x, y, std::uint8_t(std::abs(x - 5) * 20));
    p.setRgb(3, 3, 0, 255, 0);
    p.setRgb(7, 3, 0, 255, 0);
    InpaintEngine e;
    setUpEngine(e, p, 2);
    ASSERT_GT(e.priorityValue(3, 3), 0.0);
    ASSERT_EQ(e.priorityValue(3, 3), e.priorityValue(7, 3));
    int px = -1, py = -1;
    EXPECT_TRUE(e.selectTarget(px, py));
    EXPECT_EQ(px, 3);
    EXPECT_EQ(py, 3);
}

TEST(FillPriority, EqualPrioritiesInOneColumnSelectTheUpperPixel) {
    PixelBuffer p(11, 11);
    for (int y = 0; y < 11; ++y)
        for (int x = 0; x < 11; ++x) setGray(p, x, y, std::uint8_t(std::abs(x - 5) * 20));
    p.setRgb(3, 3, 0, 255, 0);
    p.setRgb(3, 7, 0, 255, 0);
    InpaintEngine e;
    setUpEngine(e, p, 2);
    ASSERT_GT(e.priorityValue(3, 3), 0.0);
    ASSERT_EQ(e.priorityValue(3, 3), e.priorityValue(3, 7));
    int px = -1, py = -1;
    EXPECT_TRUE(e.selectTarget(px, py));
    EXPECT_EQ(px, 3);
    EXPECT_EQ(py, 3);
}

TEST(FillPriority, AllZeroPrioritiesSelectTheFirstFrontPixel) {
    PixelBuffer p = flatPicture(12, 12, 90, 90, 90);
    markRect(p, 4, 5, 7, 8);
    InpaintEngine e;
    setUpEngine(e, p, 2);
    int px = 0, py = 0;
    EXPECT_FALSE(e.selectTarget(px, py));
    EXPECT_EQ(px, 4);
    EXPECT_EQ(py, 5);
}

TEST(FillPriority, UpdateReachesThreePixelsBeyondTheBlock) {
    PixelBuffer p = texturePicture(60, 30);
    markRect(p, 6, 6, 45, 9);
    InpaintEngine e;
    setUpEngine(e, p, 4);
    ASSERT_TRUE(e.sourceBlockOk(30, 20));
    const double before15 = e.priorityValue(15, 6);
    const double before16 = e.priorityValue(16, 6);
    // The block at (8, 7) fills columns 6..12. (15, 6) lies w + 3 = 7 columns
    // away and is recomputed; (16, 6) lies 8 away: its block overlaps the
    // filled pixels, yet it keeps its earlier priority.
    e.CopyBlock(8, 7, 30, 20, 0.5);
    e.UpdateMask(8, 7, MaskColour{});
    e.UpdatePriorities(8, 7);
    EXPECT_EQ(e.priorityValue(16, 6), before16);
    EXPECT_NE(e.Priority(16, 6), before16);
    EXPECT_EQ(e.priorityValue(15, 6), e.Priority(15, 6));
    EXPECT_NE(e.priorityValue(15, 6), before15);
}

// ---- Source block search --------------------------------------------------

TEST(SourceSearch, SourceBlocksLieWhollyInsideAndHoldOnlyKnownPixels) {
    PixelBuffer p = flatPicture(12, 10, 40, 50, 60);
    p.setRgb(6, 5, 0, 255, 0);
    InpaintEngine e;
    setUpEngine(e, p, 2);
    EXPECT_FALSE(e.sourceBlockOk(1, 5));  // block leaves the picture
    EXPECT_TRUE(e.sourceBlockOk(2, 2));
    EXPECT_TRUE(e.sourceBlockOk(9, 7));
    EXPECT_FALSE(e.sourceBlockOk(10, 7));
    EXPECT_FALSE(e.sourceBlockOk(8, 5));  // covers the marked pixel
    EXPECT_TRUE(e.sourceBlockOk(9, 5));
    EXPECT_FALSE(e.sourceBlockOk(6, 3));
    EXPECT_TRUE(e.sourceBlockOk(6, 2));
}

TEST(SourceSearch, PictureSmallerThanOneBlockHasNoSource) {
    PixelBuffer p = flatPicture(4, 9, 40, 50, 60);
    p.setRgb(1, 1, 0, 255, 0);
    InpaintEngine e;
    setUpEngine(e, p, 2);
    EXPECT_FALSE(e.hasAnySourceBlock());
}

TEST(SourceSearch, EqualSumsTakeTheUpperLeftCandidate) {
    PixelBuffer p = flatPicture(30, 30, 40, 50, 60);
    markRect(p, 14, 14, 15, 15);
    InpaintEngine e;
    setUpEngine(e, p, 2, 10);
    int sx = -1, sy = -1;
    EXPECT_TRUE(e.FindSourceBlock(14, 14, sx, sy));
    EXPECT_EQ(sx, 4);
    EXPECT_EQ(sy, 4);
}

TEST(SourceSearch, BestMatchingBlockWins) {
    PixelBuffer p = texturePicture(40, 40);
    // Copy the known surroundings of (10, 10) to (30, 28): that block matches exactly.
    for (int dy = -2; dy <= 2; ++dy)
        for (int dx = -2; dx <= 2; ++dx) {
            const std::size_t from = p.offset(10 + dx, 10 + dy);
            const std::size_t to = p.offset(30 + dx, 28 + dy);
            for (int k = 0; k < 4; ++k) p.bytes[to + k] = p.bytes[from + k];
        }
    p.setRgb(10, 10, 0, 255, 0);
    InpaintEngine e;
    setUpEngine(e, p, 2, 25);
    int sx = -1, sy = -1;
    ASSERT_TRUE(e.FindSourceBlock(10, 10, sx, sy));
    EXPECT_EQ(sx, 30);
    EXPECT_EQ(sy, 28);
}

TEST(SourceSearch, EmptyWindowLeavesTheSourceUnchanged) {
    PixelBuffer p = texturePicture(40, 40);
    markRect(p, 10, 10, 29, 29);
    InpaintEngine e;
    setUpEngine(e, p, 2, 0);  // window = box, which holds no whole known block
    int sx = 7, sy = 8;
    EXPECT_FALSE(e.FindSourceBlock(10, 10, sx, sy));
    EXPECT_EQ(sx, 7);
    EXPECT_EQ(sy, 8);
    EXPECT_TRUE(e.findSourceBlockAnywhere(10, 10, sx, sy));
    EXPECT_TRUE(e.sourceBlockOk(sx, sy));
}

// Black inside a 25 x 25 block around (40, 40) framed by marked pixels, white
// elsewhere: every candidate in the window differs by 528 black pixels, a sum
// of 528 * 3 * 255^2 = 102,999,600, above the 99,999,999 threshold.
TEST(SourceSearch, SumsAtTheThresholdAreNeverTaken) {
    PixelBuffer p = flatPicture(100, 100, 255, 255, 255);
    for (int y = 28; y <= 52; ++y)
        for (int x = 28; x <= 52; ++x) p.setRgb(x, y, 0, 0, 0);
    for (int k = 28; k <= 52; ++k) {
        p.setRgb(k, 28, 0, 255, 0);
        p.setRgb(k, 52, 0, 255, 0);
        p.setRgb(28, k, 0, 255, 0);
        p.setRgb(52, k, 0, 255, 0);
    }
    p.setRgb(40, 40, 0, 255, 0);
    InpaintEngine e;
    setUpEngine(e, p, 12, 20);
    ASSERT_TRUE(e.sourceBlockOk(12, 12));
    ASSERT_GE(e.searchLeft(), 0);
    ASSERT_LE(e.searchLeft(), 12);
    int sx = -1, sy = -1;
    EXPECT_FALSE(e.FindSourceBlock(40, 40, sx, sy));
    EXPECT_EQ(sx, -1);
    EXPECT_TRUE(e.findSourceBlockAnywhere(40, 40, sx, sy));
}

// ---- Copy -----------------------------------------------------------------

TEST(BlockCopy, CopiesOnlyPixelsToFillWithTheStepsConfidence) {
    PixelBuffer p = texturePicture(20, 20);
    p.bytes[p.offset(15, 15) + 3] = 0x42;
    p.setRgb(5, 5, 0, 255, 0);
    p.setRgb(6, 5, 0, 255, 0);
    InpaintEngine e;
    setUpEngine(e, p, 2);
    const std::uint8_t keptRed = e.grid().red(4, 4);
    EXPECT_EQ(e.CopyBlock(5, 5, 15, 15, 0.75), 2);
    EXPECT_EQ(e.grid().red(4, 4), keptRed);
    EXPECT_EQ(e.grid().red(5, 5), p.red(15, 15));
    EXPECT_EQ(e.grid().extra(5, 5), 0x42);
    EXPECT_EQ(e.grid().green(6, 5), p.green(16, 15));
    EXPECT_DOUBLE_EQ(e.confidence(5, 5), 0.75);
    EXPECT_DOUBLE_EQ(e.confidence(6, 5), 0.75);
    EXPECT_DOUBLE_EQ(e.grayValue(5, 5), grayOf(p.red(15, 15), p.green(15, 15), p.blue(15, 15)));
    EXPECT_EQ(e.maskState(5, 5), kFront);  // the mask follows only in UpdateMask
}

TEST(BlockCopy, SourceOffsetsOutsideThePictureAreSkipped) {
    PixelBuffer p = texturePicture(12, 12);
    markRect(p, 0, 0, 1, 1);
    InpaintEngine e;
    setUpEngine(e, p, 2);
    // Source (0, 0): only offsets 0..2 land inside the picture.
    EXPECT_EQ(e.CopyBlock(1, 1, 0, 0, 0.5), 1);
    EXPECT_EQ(e.grid().red(1, 1), p.red(0, 0));  // (1,1) <- (0,0); (0,0) needs (-1,-1)
}
