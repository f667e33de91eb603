#include "block_search.h"

#include <algorithm>
#include <atomic>
#include <tuple>
#include <type_traits>

#include "block_search_scan.h"
#include "test_switches.h"
#include "worker_pool.h"

namespace velmora {

namespace {

using ScanFn = void (*)(detail::ScanJob&);
using detail::TileBoundsFn;

struct Kernel {
    ScanFn scan;
    TileBoundsFn tileBounds;
    const char* name;
};

constexpr Kernel kScalar{detail::scanScalar, detail::tileBoundsScalar, "scalar"};
#if defined(__x86_64__) || defined(_M_X64)
constexpr Kernel kSse2{detail::scanSse2, detail::tileBoundsScalar, "sse2"};
constexpr Kernel kAvx2{detail::scanAvx2, detail::tileBoundsAvx2, "avx2"};

bool hasAvx2() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
}
#endif

const Kernel* chooseKernel() {
#if defined(__x86_64__) || defined(_M_X64)
    return hasAvx2() ? &kAvx2 : &kSse2;
#else
    return &kScalar;
#endif
}

std::atomic<const Kernel*>& current() {
    static std::atomic<const Kernel*> k{chooseKernel()};
    return k;
}

const Kernel& kernel() { return *current().load(std::memory_order_relaxed); }

// Below this many pixel comparisons a search is not worth sharing out.
constexpr long long kMinSharedWork = 4000000;
// Below this many a search ends well within a tenth of a second without asking.
constexpr long long kMinPolledWork = 64000000;
// Below this many centres a search is over before tile bounds would pay.
constexpr long long kMinTiledArea = 4096;

bool better(const SearchBest& a, const SearchBest& b) {
    return a.sum < b.sum || (a.sum == b.sum && a.index < b.index);
}

}  // namespace

const char* blockSearchKernel() { return kernel().name; }

bool useBlockSearchKernel(const std::string& name) {
    const Kernel* k = nullptr;
    if (name == kScalar.name) k = &kScalar;
#if defined(__x86_64__) || defined(_M_X64)
    if (name == kSse2.name) k = &kSse2;
    if (name == kAvx2.name && hasAvx2()) k = &kAvx2;
#endif
    if (k == nullptr) return false;
    current().store(k, std::memory_order_relaxed);
    return true;
}

void SourceMap::sumOk() {
    const std::size_t zw = std::size_t(zone.right - zone.left + 1);
    const std::size_t zh = std::size_t(zone.bottom - zone.top + 1);
    okSums.assign((zw + 1) * (zh + 1), 0);
    if (zone.area() == 0) return;
    for (std::size_t y = 0; y < zh; ++y)
        for (std::size_t x = 0; x < zw; ++x)
            okSums[(y + 1) * (zw + 1) + x + 1] = okSums[(y + 1) * (zw + 1) + x] +
                                                 okSums[y * (zw + 1) + x + 1] -
                                                 okSums[y * (zw + 1) + x] + okIn[y * zw + x];
}

bool SourceMap::refusesAll(const Box& box) const {
    if (okSums.empty() || box.left < zone.left || box.right > zone.right || box.top < zone.top ||
        box.bottom > zone.bottom)
        return false;
    const std::size_t zw = std::size_t(zone.right - zone.left + 1) + 1;
    const std::size_t l = std::size_t(box.left - zone.left),
                      r = std::size_t(box.right - zone.left + 1);
    const std::size_t t = std::size_t(box.top - zone.top),
                      b = std::size_t(box.bottom - zone.top + 1);
    return okSums[b * zw + r] - okSums[b * zw + l] - okSums[t * zw + r] + okSums[t * zw + l] == 0;
}

static std::atomic<bool> g_alwaysTiles{false};
static std::atomic<bool> g_tileRangesSideBySide{true};

bool tilesPayOff(long long windowArea, long long pixelsToFill, int radius) {
    // The ranges cost a few passes over the window's tables, and a table per
    // position in a block; a step fills about half a block.
    const long long side = 2LL * radius + 1;
    return g_alwaysTiles.load(std::memory_order_relaxed) ||
           (windowArea >= (1LL << 16) && pixelsToFill * 2 / (side * side) >= 128);
}

void alwaysTileSearches(bool on, bool sideBySide) {
    g_alwaysTiles.store(on, std::memory_order_relaxed);
    g_tileRangesSideBySide.store(sideBySide, std::memory_order_relaxed);
}

std::vector<Box> sourceTiles(const PixelView& picture, const SourceMap& sources, const Box& area,
                             int radius) {
    const detail::ScanBounds b = detail::scanBounds(picture, area, radius);
    std::vector<Box> tiles;
    constexpr int tw = CellPlane::kTileWidth, th = CellPlane::kTileHeight;
    for (int y = b.y0; y <= b.y1; y += th)
        for (int x = b.x0; x <= b.x1; x += tw) {
            const Box tile{x, y, std::min(b.x1, x + tw - 1), std::min(b.y1, y + th - 1)};
            if (!sources.refusesAll(tile)) tiles.push_back(tile);
        }
    return tiles;
}

namespace {

// low[i] and high[i]: the extremes of `in` over the tw x th entries from entry i,
// clipped to the table; tw and th are powers of two. Doubling spans keep it to
// a few flat passes, each in place: entry i + step is still as the pass before
// left it when entry i takes its extreme, so no second table is needed.
// False when `poll` asked to stop on the way.
bool slidingExtremes(const std::int16_t* in, std::int16_t* low, std::int16_t* high, int stride,
                     int rows, int tw, int th, const std::function<bool()>* poll) {
    auto stop = [poll] { return poll != nullptr && (*poll)(); };
    const std::size_t n = std::size_t(stride) * std::size_t(rows);
    std::copy(in, in + n, low);
    std::copy(in, in + n, high);
    auto widen = [&](std::size_t step) {
        // Entries within `step` of the end keep theirs: clipped, they already span it.
        const std::size_t inner = n > step ? n - step : 0;
        // A block is read whole before it is written, so the loops take vectors:
        // its writes land below everything the later blocks read.
        constexpr std::size_t kBlock = 64;
        std::size_t i = 0;
        for (; i + kBlock <= inner; i += kBlock) {
            std::int16_t lo[kBlock], hi[kBlock];
            for (std::size_t k = 0; k < kBlock; ++k) {
                lo[k] = std::min(low[i + k], low[i + k + step]);
                hi[k] = std::max(high[i + k], high[i + k + step]);
            }
            std::copy(lo, lo + kBlock, low + i);
            std::copy(hi, hi + kBlock, high + i);
        }
        for (; i < inner; ++i) {
            low[i] = std::min(low[i], low[i + step]);
            high[i] = std::max(high[i], high[i + step]);
        }
    };
    // Across: runs over the whole table read past a row's end into the next row,
    // which only widens a range, and that stays a valid bound.
    for (int span = 1; span < tw; span *= 2) {
        if (stop()) return false;
        widen(std::size_t(span));
    }
    for (int span = 1; span < th; span *= 2) {
        if (stop()) return false;
        widen(std::size_t(span) * std::size_t(stride));
    }
    return true;
}

// The full ranges `low` and `high` of range r (and r + 1) packed into the
// tiles' bytes, in units of kUnit (of `unit` when kUnit is 0): lows down and
// highs up to whole units.
// Tile by tile: a tile's entries lie on a few lines of the full ranges, and its
// bytes go to lines the next tiles write too, where position by position every
// read and write would be a line of its own. False when `poll` asked to stop.
template <int kUnit>
bool packTileRanges(CellPlane& plane, const std::int16_t* low, const std::int16_t* high,
                    CellPlane::Range r, int weight, int radius, int unit,
                    const std::function<bool()>* poll) {
    const int u = kUnit > 0 ? kUnit : unit;
    const std::size_t side = std::size_t(2 * radius + 1);
    const std::size_t row = std::size_t(plane.stride);
    const std::size_t stride = plane.tileStride;
    std::uint8_t* const base = plane.tileRanges.data() + std::size_t(r) * stride;
    constexpr std::size_t kTilesPerPoll = 1024;
    for (std::size_t t = 0; t < plane.tiles.size(); ++t) {
        if (t % kTilesPerPoll == 0 && poll != nullptr && (*poll)()) return false;
        const Box& tile = plane.tiles[t];
        const std::size_t origin = std::size_t(tile.top - radius - plane.cover.top) * row +
                                   std::size_t(tile.left - radius - plane.cover.left);
        std::uint8_t* out = base + t;
        for (std::size_t dy = 0; dy < side; ++dy)
            for (std::size_t dx = 0; dx < side; ++dx, out += CellPlane::kRanges * stride) {
                const std::size_t at = origin + dy * row + dx;
                out[0] = std::uint8_t(weight * low[at] / u);
                out[stride] = std::uint8_t((weight * high[at] + u - 1) / u);
            }
    }
    return true;
}

}  // namespace

void listSourceTiles(CellPlane& plane, const PixelView& picture, const SourceMap& sources,
                     const Box& area, int radius, const std::function<bool()>* poll) {
    plane.tileArea = area;
    plane.tiles = sourceTiles(picture, sources, area, radius);
    plane.tileRowStart.clear();
    for (std::size_t i = 0; i < plane.tiles.size(); ++i)
        if (i == 0 || plane.tiles[i].top != plane.tiles[i - 1].top)
            plane.tileRowStart.push_back(int(i));
    plane.tileRowStart.push_back(int(plane.tiles.size()));
    plane.tileStride = (plane.tiles.size() + 15) / 16 * 16;
    plane.ranges.clear();
    plane.tileRanges.clear();
    if (plane.empty()) return;
    const std::size_t side = std::size_t(2 * radius + 1);
    // Beyond this the tiles are bounded from the full ranges, one by one.
    constexpr std::size_t kMaxBytes = std::size_t(64) << 20;
    const std::size_t entries = side * side * CellPlane::kRanges * plane.tileStride;
    const bool sideBySide =
        entries <= kMaxBytes && g_tileRangesSideBySide.load(std::memory_order_relaxed);
    // Side by side, each pair of ranges is worked out over the plane and packed
    // before the next, so the full ranges are never held all at once.
    auto& low = plane.scratch.low;
    auto& high = plane.scratch.high;
    const bool sized = sideBySide ? fillPolled(plane.tileRanges, entries, std::uint8_t(0), poll) &&
                                        fillPolled(low, plane.tableSize, std::int16_t(0), poll) &&
                                        fillPolled(high, plane.tableSize, std::int16_t(0), poll)
                                  : fillPolled(plane.ranges, plane.tableSize * CellPlane::kRanges,
                                               std::int16_t(0), poll);
    auto giveUp = [&] {
        plane.ranges.clear();
        plane.tileRanges.clear();
    };
    if (!sized) return giveUp();
    const int rows = int(plane.tableSize / std::size_t(plane.stride));
    constexpr int tw = CellPlane::kTileWidth, th = CellPlane::kTileHeight;
    for (int c = 0; c < 3; ++c)
        for (const auto& [from, first] : {std::pair(CellPlane::CellBlue, CellPlane::BlueCellLow),
                                          std::pair(CellPlane::Blue, CellPlane::BluePixelLow)}) {
            const auto r = CellPlane::Range(first + 2 * c);
            std::int16_t* lo = sideBySide ? low.data() : plane.ranges.data() + r * plane.tableSize;
            std::int16_t* hi = sideBySide ? high.data() : lo + plane.tableSize;
            if (!slidingExtremes(plane.entries.data() + (from + c) * plane.tableSize, lo, hi,
                                 plane.stride, rows, tw, th, poll))
                return giveUp();
            if (!sideBySide) continue;
            // Pixels held times k, so single pixels weigh as cells do.
            const int weight = first == CellPlane::BluePixelLow ? plane.cell : 1;
            const auto pack = [&](auto unit) {
                return packTileRanges<decltype(unit)::value>(plane, lo, hi, r, weight, radius,
                                                             plane.tileUnit(r), poll);
            };
            // The units there are, as constants: the compiler then divides by multiplying.
            const bool packed = [&] {
                switch (plane.tileUnit(r)) {
                    case 2:
                        return pack(std::integral_constant<int, 2>());
                    case 3:
                        return pack(std::integral_constant<int, 3>());
                    case 4:
                        return pack(std::integral_constant<int, 4>());
                    case 9:
                        return pack(std::integral_constant<int, 9>());
                    default:
                        return pack(std::integral_constant<int, 0>());
                }
            }();
            if (!packed) return giveUp();
        }
}

SearchBest searchBestSource(const PixelView& picture, const SourceMap& sources,
                            const TargetBlock& target, const Box& area, std::int64_t limit,
                            const std::vector<std::pair<int, int>>& seeds, const CellPlane* plane,
                            WorkerPool* pool, const std::function<bool()>* poll, const Box* first) {
    // Blocks under four pixels wide have no runs of four; they are summed one by one.
    const ScanFn scan = target.radius >= 2 ? kernel().scan : detail::scanScalar;

    detail::ScanJob base;
    base.picture = &picture;
    base.sources = &sources;
    base.target = &target;
    base.best = {limit, -1};

    for (const auto& [x, y] : seeds) {
        if (!area.contains(x, y) || !sources.ok(x, y)) continue;
        detail::ScanJob one = base;
        one.area = {x, y, x, y};
        scan(one);
        base.best = one.best;
    }

    base.area = area;
    if (plane != nullptr && !plane->empty() && !target.cells.empty()) base.plane = plane;
    // Whole tiles ruled out at once pay where the area holds many of them.
    detail::TileProbes probes;
    std::vector<Box> tiles;
    std::vector<std::pair<int, unsigned>> firstBlocks;
    const bool listed = plane != nullptr && plane->tileArea.left == area.left &&
                        plane->tileArea.top == area.top && plane->tileArea.right == area.right &&
                        plane->tileArea.bottom == area.bottom;
    const bool sideBySide = listed && !plane->tileRanges.empty();
    if (base.plane != nullptr && (sideBySide || !plane->ranges.empty()) &&
        area.area() >= kMinTiledArea) {
        const int k = plane->cell;
        probes.cells.reserve(3 * target.firstSingle);
        probes.singles.reserve(3 * (target.cells.size() - target.firstSingle));
        for (std::size_t i = 0; i < target.cells.size(); ++i) {
            const TargetBlock::Cell& cell = target.cells[i];
            const bool single = i >= target.firstSingle;
            for (int c = 0; c < 3; ++c) {
                detail::TileProbes::Probe p;
                p.offset = std::ptrdiff_t(cell.dy) * plane->stride + cell.dx;
                // Single pixels are held times k, as their side-by-side ranges are.
                const int held = int((cell.sums >> (16 * c)) & 0xFFFF);
                p.value = held / (single ? k : 1);
                p.low = CellPlane::Range(
                    (single ? CellPlane::BluePixelLow : CellPlane::BlueCellLow) + 2 * c);
                if (sideBySide) {
                    p.tileLow = plane->tileRange(cell.dx, cell.dy, p.low, target.radius);
                    p.tileHigh = plane->tileRange(cell.dx, cell.dy, CellPlane::Range(p.low + 1),
                                                  target.radius);
                    p.tileValue = std::int16_t(held);
                    p.tileUnit = std::int16_t(plane->tileUnit(p.low));
                }
                (single ? probes.singles : probes.cells).push_back(p);
            }
        }
        probes.scale = detail::TileProbes::kWeight * std::int64_t(k) * k;
        base.probes = &probes;
        if (listed) {
            base.tiles = &plane->tiles;
            if (sideBySide) base.boundTiles = kernel().tileBounds;
            // The tiles that meet `first`: in each row of tiles, a run of neighbours.
            for (std::size_t r = 0; first != nullptr && r + 1 < plane->tileRowStart.size(); ++r) {
                int i = plane->tileRowStart[r];
                const int end = plane->tileRowStart[r + 1];
                const Box& row = plane->tiles[std::size_t(i)];
                if (row.top + CellPlane::kTileHeight - 1 < first->top || row.top > first->bottom)
                    continue;
                while (i < end && plane->tiles[std::size_t(i)].right < first->left) ++i;
                for (; i < end && plane->tiles[std::size_t(i)].left <= first->right; ++i) {
                    const int b = i / detail::kTilesPerBlock;
                    if (firstBlocks.empty() || firstBlocks.back().first != b)
                        firstBlocks.push_back({b, 0u});
                    firstBlocks.back().second |= 1u << (i % detail::kTilesPerBlock);
                }
            }
            if (!firstBlocks.empty()) base.firstBlocks = &firstBlocks;
        } else {
            tiles = sourceTiles(picture, sources, area, target.radius);
            base.tiles = &tiles;
        }
    }
    const int shares =
        pool != nullptr && area.area() * target.knownPixels >= kMinSharedWork ? pool->size() : 1;
    // Each share takes the next tiles or band until none is left, so the shares
    // stay busy however unevenly the tiles are ruled out, and the poll is asked
    // between them.
    detail::SharedSearch shared;
    const bool polled = poll != nullptr && area.area() * target.knownPixels >= kMinPolledWork;
    if (shares == 1) {
        if (polled) {
            base.shared = &shared;
            base.poll = poll;
        }
        scan(base);
        base.best.stopped = shared.stop.load();
        return base.best;
    }
    shared.best.store(detail::packBest(base.best.sum, base.best.index));
    base.shared = &shared;
    base.sharedBest = &shared.best;
    std::vector<detail::ScanJob> jobs(std::size_t(shares), base);
    for (int s = 0; s < shares; ++s) {
        jobs[std::size_t(s)].share = s;
        jobs[std::size_t(s)].shares = shares;
    }
    if (polled) jobs[0].poll = poll;  // share 0 runs on this thread
    pool->run([&](int s) { scan(jobs[std::size_t(s)]); });
    SearchBest best = base.best;
    for (const detail::ScanJob& job : jobs)
        if (better(job.best, best)) best = job.best;
    best.stopped = shared.stop.load();
    return best;
}

void buildCellPlane(CellPlane& plane, const PixelView& picture, int radius, const Box& centres,
                    const std::function<bool()>* poll) {
    auto stop = [poll] { return poll != nullptr && (*poll)(); };
    const int k = cellSideFor(radius);
    plane.cell = k;
    plane.ranges.clear();
    plane.tiles.clear();
    plane.tileRanges.clear();
    plane.tileArea = Box{};
    plane.entries.clear();
    plane.tableSize = 0;
    const Box fit{std::max(centres.left, radius), std::max(centres.top, radius),
                  std::min(centres.right, picture.width - radius - 1),
                  std::min(centres.bottom, picture.height - radius - 1)};
    if (fit.area() == 0) return;
    plane.cover = {fit.left - radius, fit.top - radius, fit.right + radius, fit.bottom + radius};
    const int w = plane.cover.right - plane.cover.left + 1;
    const int h = plane.cover.bottom - plane.cover.top + 1;
    plane.stride = w + CellPlane::kPadding;
    plane.tableSize = std::size_t(plane.stride) * std::size_t(h);
    if (!fillPolled(plane.entries, plane.tableSize * CellPlane::kTables, std::int16_t(0), poll))
        return;
    auto table = [&](CellPlane::Table t) {
        return plane.entries.data() + std::size_t(t) * plane.tableSize;
    };
    const std::size_t row = std::size_t(plane.stride);
    // The window of a full-size photo takes a good part of a second, so the
    // long loops ask now and then.
    constexpr int kRowsPerPoll = 256;
    for (int y = 0; y < h; ++y) {
        if (y % kRowsPerPoll == 0 && stop()) return;
        const std::uint8_t* line = picture.pixel(plane.cover.left, plane.cover.top + y);
        for (int c = 0; c < 3; ++c) {
            std::int16_t* out = table(CellPlane::Table(CellPlane::Blue + c)) + std::size_t(y) * row;
            for (int x = 0; x < w; ++x) out[x] = line[4 * x + c];
        }
    }
    // Cell sums along rows, then down the columns; flat loops the compiler can
    // vectorise. Cells that would leave the cover stay 0.
    const std::size_t span = std::size_t(w - k + 1);
    // The sums along rows are kept for the last k rows only, as each row of
    // cells is summed down from them the moment its k rows are there.
    auto& across = plane.scratch.across;
    if (!fillPolled(across, row * std::size_t(k), std::int16_t(0), poll)) return;
    for (int c = 0; c < 3; ++c) {
        if (stop()) return;
        const std::int16_t* in = table(CellPlane::Table(CellPlane::Blue + c));
        std::int16_t* out = table(CellPlane::Table(CellPlane::CellBlue + c));
        for (int y = 0; y < h; ++y) {
            if (y % kRowsPerPoll == 0 && stop()) return;
            const std::int16_t* i0 = in + std::size_t(y) * row;
            std::int16_t* a = &across[std::size_t(y % k) * row];
            std::fill(a, a + span, std::int16_t(0));
            for (int i = 0; i < k; ++i)
                for (std::size_t j = 0; j < span; ++j)
                    a[j] = std::int16_t(a[j] + i0[j + std::size_t(i)]);
            if (y + 1 < k) continue;
            std::int16_t* o = out + std::size_t(y + 1 - k) * row;
            for (int i = 0; i < k; ++i) {
                const std::int16_t* b = &across[std::size_t((y + 1 - k + i) % k) * row];
                for (std::size_t j = 0; j < span; ++j) o[j] = std::int16_t(o[j] + b[j]);
            }
        }
    }
    const std::int16_t* cb = table(CellPlane::CellBlue);
    const std::int16_t* cg = table(CellPlane::CellGreen);
    const std::int16_t* cr = table(CellPlane::CellRed);
    std::int16_t* gray = table(CellPlane::GrayCell);
    for (std::size_t i = 0; i < plane.tableSize; ++i) gray[i] = std::int16_t(cb[i] + cg[i] + cr[i]);
}

}  // namespace velmora
