#pragma once

// The source block search: for one target block, the candidate centre whose
// block differs least from the target's known pixels. Sums are exact integers,
// so any visiting order, early abandoning and any split across threads give the
// very result of a plain scan: the smallest sum, and of equal sums the first
// candidate in row-major order.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "huge_pages.h"
#include "pixel_buffer.h"

namespace velmora {

class WorkerPool;

// An inclusive box of pixel positions; empty when left > right or top > bottom.
struct Box {
    int left = 0;
    int top = 0;
    int right = -1;
    int bottom = -1;

    bool contains(int x, int y) const { return x >= left && x <= right && y >= top && y <= bottom; }
    long long area() const {
        return right < left || bottom < top ? 0
                                            : (long long)(right - left + 1) * (bottom - top + 1);
    }
};

// Which centres may serve as sources: a block wholly inside the picture that held
// no pixel to fill when the run began. Only centres near the marked box (the zone)
// need a look-up; every other centre inside the margins qualifies.
struct SourceMap {
    int width = 0;
    int height = 0;
    int radius = 0;
    Box zone;                           // centres whose block meets the marked box
    HugePageVector<std::uint8_t> okIn;  // 1 where a zone centre qualifies, row-major over zone

    bool ok(int x, int y) const {
        if (x < radius || x > width - radius - 1 || y < radius || y > height - radius - 1)
            return false;
        if (!zone.contains(x, y)) return true;
        return okIn[std::size_t(y - zone.top) * std::size_t(zone.right - zone.left + 1) +
                    std::size_t(x - zone.left)] != 0;
    }

    // Summed counts of okIn, (zone width + 1) x (zone height + 1), so a tile of
    // centres that the zone refuses throughout costs four reads.
    HugePageVector<std::int32_t> okSums;
    void sumOk();
    // True when every centre of `box` lies in the zone and none qualifies.
    bool refusesAll(const Box& box) const;
};

// Tables over the pixels of the candidate blocks (`cover`), one 16-bit plane per
// quantity so 16 neighbouring candidates come in one load: the pixels' B, G and R;
// the sums of B, G and R over the k x k cell whose top-left is each pixel; and
// the gray (B + G + R) sums of those cells.
//
// A block sum is at least, over cells wholly known in the target, the squared
// cell-sum differences divided by k^2 (Cauchy-Schwarz on each cell), plus the
// exact sum over the known pixels no cell covers. Gray cells give a weaker bound
// at a third of the reads: a sum of three squares is at least a third of the
// square of their sum.
struct CellPlane {
    enum Table { Blue, Green, Red, CellBlue, CellGreen, CellRed, GrayCell, kTables };
    int cell = 3;                        // side of a cell
    static constexpr int kPadding = 16;  // entries after each row, for whole vector loads
    Box cover;
    int stride = 0;                        // entries per row
    std::size_t tableSize = 0;             // entries per table
    HugePageVector<std::int16_t> entries;  // the tables one after another; cell sums that
                                           // would leave the cover are 0

    // Ranges over tiles of kTileWidth x kTileHeight neighbouring candidate
    // centres: for each entry, the lowest and highest cell sum and pixel of each
    // colour over the tile's entries from there. Three reads per target cell
    // bound every candidate of the tile at once. A tile one group of
    // candidates wide and a few rows high rules out far more than larger ones,
    // and the bounds of sixteen such tiles come from one load each (`tileRanges`).
    enum Range {
        BlueCellLow,
        BlueCellHigh,
        GreenCellLow,
        GreenCellHigh,
        RedCellLow,
        RedCellHigh,
        BluePixelLow,
        BluePixelHigh,
        GreenPixelLow,
        GreenPixelHigh,
        RedPixelLow,
        RedPixelHigh,
        kRanges
    };
    static constexpr int kTileWidth = 16;
    static constexpr int kTileHeight = 8;
    // kRanges tables over the whole plane, kept only when the tiles' ranges
    // side by side would take too much memory; empty otherwise.
    HugePageVector<std::int16_t> ranges;
    // For the search of `tileArea`: its tiles that hold a source centre, each
    // clipped to the centres whose blocks fit the picture, and for every position
    // in a block and every range, the tiles' values side by side; empty when
    // they would take too much memory. A byte each, in units of tileUnit(r): the
    // bounds read them from memory, and half the bytes take far less time. Cell
    // ranges are widened to whole units, which keeps them bounds.
    Box tileArea;
    std::vector<Box> tiles;
    std::vector<int> tileRowStart;  // the first of `tiles` in each row of tiles, and the end
    std::size_t tileStride = 0;     // tiles, rounded up to 16
    HugePageVector<std::uint8_t> tileRanges;
    // Working space of the builds, kept with the plane: fresh memory costs a
    // page zeroed on first touch, and a long fill rebuilds the plane hundreds
    // of times. The last k rows' sums along rows, and one pair of full ranges.
    struct Scratch {
        HugePageVector<std::int16_t> across, low, high;
    } scratch;
    // k^2 for cell sums; k for pixels, so single pixels weigh as cells do.
    int tileUnit(Range r) const { return r >= BluePixelLow ? cell : cell * cell; }
    const std::uint8_t* tileRange(int dx, int dy, Range r, int radius) const {
        return tileRanges.data() +
               ((std::size_t(dy) * std::size_t(2 * radius + 1) + std::size_t(dx)) * kRanges + r) *
                   tileStride;
    }

    bool empty() const { return entries.empty(); }
    const std::int16_t* range(Range r, int x, int y) const {
        return ranges.data() + std::size_t(r) * tableSize +
               std::size_t(y - cover.top) * std::size_t(stride) + std::size_t(x - cover.left);
    }
    const std::int16_t* at(Table table, int x, int y) const {
        return entries.data() + std::size_t(table) * tableSize +
               std::size_t(y - cover.top) * std::size_t(stride) + std::size_t(x - cover.left);
    }
    // From a table's entry for a block's top-left to another table's entry for
    // (dx, dy) in that block; `from` is the table the step starts in.
    std::ptrdiff_t step(Table from, Table to, int dx, int dy) const {
        return (std::ptrdiff_t(to) - std::ptrdiff_t(from)) * std::ptrdiff_t(tableSize) +
               std::ptrdiff_t(dy) * stride + dx;
    }
};

// The cell side that rules out most for its cost with blocks of this radius, as
// measured: 3 tiles a block of radius 4 (9 x 9) exactly, so it wins there too.
inline int cellSideFor(int radius) { return radius <= 3 || radius == 5 ? 2 : 3; }

// Whether a run with this window, this many pixels to fill and blocks of this
// radius lists the window's source tiles: their ranges pay off over many steps.
bool tilesPayOff(long long windowArea, long long pixelsToFill, int radius);
// The tiles of `area` for blocks of `radius` that hold a source centre.
std::vector<Box> sourceTiles(const PixelView& picture, const SourceMap& sources, const Box& area,
                             int radius);
// Makes `area`'s searches on the plane walk its source tiles, with their ranges.
// `poll`, when given, is asked now and then; once it returns true the ranges
// are left out.
void listSourceTiles(CellPlane& plane, const PixelView& picture, const SourceMap& sources,
                     const Box& area, int radius, const std::function<bool()>* poll = nullptr);
// The tables for blocks of radius `radius` centred in `centres`, with cells of
// cellSideFor(radius); empty when no such block fits the picture. `poll`, when
// given, is asked between tables; once it returns true the plane is left
// unfinished.
void buildCellPlane(CellPlane& plane, const PixelView& picture, int radius, const Box& centres,
                    const std::function<bool()>* poll = nullptr);

// The known pixels of one target block, laid out for the sum kernels: rows in the
// order they are summed, each as runs of four pixels with a lane mask.
struct TargetBlock {
    struct Row {
        int dy;          // from the block's top row, 0..2w
        int chunkBegin;  // into chunks
        int chunkEnd;
        int pixelBegin;  // into pixels
        int pixelEnd;
    };
    struct Chunk {
        int dx;                              // first pixel, from the block's left column
        alignas(32) std::int16_t value[16];  // B, G, R, 0 of four pixels; 0 where masked
        alignas(32) std::int16_t mask[16];   // -1 on counted lanes, 0 elsewhere
    };
    struct Pixel {
        int dx, dy;
        int blue, green, red;
    };
    int radius = 0;
    std::vector<Row> rows;
    std::vector<Chunk> chunks;
    std::vector<Pixel> pixels;  // the same pixels one by one, for blocks under four wide
    struct Cell {
        int dx, dy;         // top-left pixel, from the block's top-left
        bool single;        // one pixel, weighed by k, rather than a k x k cell
        std::int64_t sums;  // B, G, R, 0 in 16 bits each, B lowest
    };
    // Wholly known k x k cells that do not overlap, then every known pixel they
    // leave out; cells come first as they rule out most for their cost.
    std::vector<Cell> cells;
    std::size_t firstSingle = 0;
    // The pixels of those cells one by one, weighed by k, for their exact sums.
    std::vector<Cell> cellPixels;
    long long knownPixels = 0;

    // Working space of prepareTarget, kept so a step takes no memory.
    struct RowCount {
        int dy;
        int count;
    };
    std::vector<RowCount> order;
    std::vector<std::uint8_t> use;
    std::vector<std::uint8_t> known;
};

// Sizes `v` to `n` copies of `value` a slice at a time, asking `poll` (when
// given) between slices: fresh memory costs a page fault a page, and the tables
// of a full-size photo take tens of milliseconds. False once `poll` asks to
// stop, with `v` left short.
template <class T, class A>
bool fillPolled(std::vector<T, A>& v, std::size_t n, const T& value,
                const std::function<bool()>* poll) {
    v.clear();
    v.reserve(n);
    adviseHugePages(v.data(), n * sizeof(T));
    constexpr std::size_t kSlice = (std::size_t(1) << 20) / sizeof(T);
    while (v.size() < n) {
        if (poll != nullptr && (*poll)()) return false;
        v.resize(std::min(n, v.size() + kSlice), value);
    }
    return true;
}

struct SearchBest {
    std::int64_t sum = std::numeric_limits<std::int64_t>::max();
    std::int64_t index = -1;  // y * width + x of the centre; -1: none yet
    bool stopped = false;     // the poll asked to stop; sum and index mean nothing
};

// Fills `target` from the block around (px, py). `pixelAt(x, y)` gives the current
// BGRA value and `counted(x, y)` whether that pixel takes part in the sum.
// `cellSide` is the one of the tables the search will use.
template <class PixelAt, class Counted>
void prepareTarget(TargetBlock& target, int width, int height, int radius, int px, int py,
                   int cellSide, PixelAt pixelAt, Counted counted);

// Best centre in `area` with a sum below `limit`; index -1 when none.
// `seeds` are tried first: a good early bound lets most candidates be dropped
// after a row or two, and changes nothing else.
// `plane`, when given, must cover the blocks of `area` and `limit` must stay below
// 2^62 / 9; it only speeds the search up.
// `poll`, when given, is called on this thread between parts of the search; once
// it returns true the search ends early with `stopped` set.
// `first`, when given and the plane lists the source tiles of `area`, is searched
// before the rest of the area: good matches are most often close by, and an early
// low sum lets the rest drop more, sooner.
SearchBest searchBestSource(const PixelView& picture, const SourceMap& sources,
                            const TargetBlock& target, const Box& area, std::int64_t limit,
                            const std::vector<std::pair<int, int>>& seeds, const CellPlane* plane,
                            WorkerPool* pool, const std::function<bool()>* poll = nullptr,
                            const Box* first = nullptr);

// The kernel set in use: the widest the processor runs, "avx2" or "sse2" on
// x86-64, "scalar" elsewhere.
const char* blockSearchKernel();

// ---------------------------------------------------------------------------

template <class PixelAt, class Counted>
void prepareTarget(TargetBlock& target, int width, int height, int radius, int px, int py,
                   int cellSide, PixelAt pixelAt, Counted counted) {
    const int side = 2 * radius + 1;
    target.radius = radius;
    target.rows.clear();
    target.chunks.clear();
    target.pixels.clear();
    target.cells.clear();
    target.cellPixels.clear();
    target.knownPixels = 0;
    std::vector<TargetBlock::RowCount>& order = target.order;
    order.clear();
    std::vector<std::uint8_t>& use = target.use;
    use.assign(std::size_t(side), 0);
    for (int dy = 0; dy < side; ++dy) {
        const int ty = py - radius + dy;
        if (ty < 0 || ty > height - 1) continue;
        int count = 0;
        for (int dx = 0; dx < side; ++dx) {
            const int tx = px - radius + dx;
            if (tx >= 0 && tx <= width - 1 && counted(tx, ty)) ++count;
        }
        if (count > 0) order.push_back({dy, count});
    }
    // Fuller rows first: they raise the partial sum fastest, so poor candidates
    // are dropped sooner. Integer sums do not care about the order.
    for (std::size_t i = 1; i < order.size(); ++i)
        for (std::size_t j = i; j > 0 && order[j].count > order[j - 1].count; --j)
            std::swap(order[j], order[j - 1]);

    for (const TargetBlock::RowCount& rc : order) {
        const int ty = py - radius + rc.dy;
        for (int dx = 0; dx < side; ++dx) use[std::size_t(dx)] = 0;
        for (int dx = 0; dx < side; ++dx) {
            const int tx = px - radius + dx;
            if (tx < 0 || tx > width - 1 || !counted(tx, ty)) continue;
            use[std::size_t(dx)] = 1;
            const std::uint32_t v = pixelAt(tx, ty);
            target.pixels.push_back(
                {dx, rc.dy, int(v & 0xFF), int((v >> 8) & 0xFF), int((v >> 16) & 0xFF)});
            ++target.knownPixels;
        }
        TargetBlock::Row row{rc.dy, int(target.chunks.size()), 0,
                             int(target.pixels.size()) - rc.count, int(target.pixels.size())};
        if (side >= 4) {
            // Runs of four, the last one moved left to end at the block's edge so no
            // read leaves the source block; its overlap is masked out.
            for (int start = 0; start < side; start += 4) {
                const int dx0 = start + 4 <= side ? start : side - 4;
                TargetBlock::Chunk chunk{};
                chunk.dx = dx0;
                bool any = false;
                for (int k = 0; k < 4; ++k) {
                    const int dx = dx0 + k;
                    if (dx < start || !use[std::size_t(dx)]) continue;
                    const std::uint32_t v = pixelAt(px - radius + dx, ty);
                    for (int c = 0; c < 3; ++c) {
                        chunk.value[4 * k + c] = std::int16_t((v >> (8 * c)) & 0xFF);
                        chunk.mask[4 * k + c] = -1;
                    }
                    any = true;
                }
                if (any) target.chunks.push_back(chunk);
            }
        }
        row.chunkEnd = int(target.chunks.size());
        target.rows.push_back(row);
    }

    const int k = cellSide;
    std::vector<std::uint8_t>& known = target.known;
    known.resize(std::size_t(side) * std::size_t(side));
    auto knownAt = [&](int dx, int dy) -> std::uint8_t& {
        return known[std::size_t(dy) * std::size_t(side) + std::size_t(dx)];
    };
    for (int dy = 0; dy < side; ++dy)
        for (int dx = 0; dx < side; ++dx) {
            const int tx = px - radius + dx;
            const int ty = py - radius + dy;
            knownAt(dx, dy) =
                tx >= 0 && tx <= width - 1 && ty >= 0 && ty <= height - 1 && counted(tx, ty);
        }
    // Greedy, in scan order: each cell takes nine known pixels no cell has yet.
    for (int cy = 0; cy + k <= side; ++cy)
        for (int cx = 0; cx + k <= side; ++cx) {
            bool whole = true;
            for (int dy = cy; dy < cy + k && whole; ++dy)
                for (int dx = cx; dx < cx + k; ++dx)
                    if (knownAt(dx, dy) != 1) {
                        whole = false;
                        break;
                    }
            if (!whole) continue;
            std::int64_t b = 0, g = 0, r = 0;
            for (int dy = cy; dy < cy + k; ++dy)
                for (int dx = cx; dx < cx + k; ++dx) {
                    knownAt(dx, dy) = 2;  // taken
                    const std::uint32_t v = pixelAt(px - radius + dx, py - radius + dy);
                    const std::int64_t pb = v & 0xFF, pg = (v >> 8) & 0xFF, pr = (v >> 16) & 0xFF;
                    b += pb;
                    g += pg;
                    r += pr;
                    target.cellPixels.push_back(
                        {dx, dy, true, k * pb | (k * pg << 16) | (k * pr << 32)});
                }
            target.cells.push_back({cx, cy, false, b | (g << 16) | (r << 32)});
        }
    target.firstSingle = target.cells.size();
    for (int dy = 0; dy < side; ++dy)
        for (int dx = 0; dx < side; ++dx) {
            if (knownAt(dx, dy) != 1) continue;
            const std::uint32_t v = pixelAt(px - radius + dx, py - radius + dy);
            const std::int64_t b = k * (v & 0xFF), g = k * ((v >> 8) & 0xFF),
                               r = k * ((v >> 16) & 0xFF);
            target.cells.push_back({dx, dy, true, b | (g << 16) | (r << 32)});
        }
}

}  // namespace velmora
