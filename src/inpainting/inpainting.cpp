#include "inpainting.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <new>
#include <tuple>
#include <vector>

#include "block_search.h"
#include "test_switches.h"
#include "worker_pool.h"

namespace velmora {

namespace {

constexpr std::int8_t kKnown = 0;
constexpr std::int8_t kUnfilled = -1;
constexpr std::int8_t kFront = -2;

// Sums at or above this never make a candidate in the windowed search.
constexpr std::int64_t kNoMatch = 99999999;

std::uint32_t load32(const std::uint8_t* p) {
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

bool isMask(std::uint32_t v, const MaskColour& mask) {
    return ((v >> 16) & 0xFF) == mask.red && ((v >> 8) & 0xFF) == mask.green &&
           (v & 0xFF) == mask.blue;
}

// Gray on the 0..255 scale. The numerator is an exact integer, so every order of
// its terms gives the same double.
double grayOfPixel(std::uint32_t v) {
    const double blue = double(v & 0xFF);
    const double green = double((v >> 8) & 0xFF);
    const double red = double((v >> 16) & 0xFF);
    return (19267.0 * green + 3735.0 * red + 9765.0 * blue) / 32767.0;
}

InpaintResult failure(InpaintStatus status, std::string message) {
    InpaintResult r;
    r.status = status;
    r.message = std::move(message);
    return r;
}

// One removal run. Everything that can change lies in the marked box, so the
// per-pixel state covers only that box and the margins the priorities read
// (the region); every pixel outside it is known and stays as it was.
class Run {
public:
    Run(PixelView picture, const InpaintOptions& options, InpaintObserver* observer)
        : m_picture(picture),
          m_options(options),
          m_width(picture.width),
          m_height(picture.height),
          m_radius(options.radius),
          m_observer(observer),
          m_lastYield(std::chrono::steady_clock::now()),
          m_poll([this] { return pollStop(); }) {}

    // Finds the marked box; false when nothing is marked or the run was stopped.
    bool findMarkedBox();
    // Sizes and fills the working state; false when the run was stopped. Throws
    // std::bad_alloc.
    bool load();
    // Between the stages' own yields, long work yields too, at most this far apart,
    // so a stop acts within a tenth of a second on any picture.
    static constexpr auto kYieldEvery = std::chrono::milliseconds(40);
    // Yields when the last yield is kYieldEvery ago; true once a stop was asked.
    bool pollStop();
    bool stopSeen() const { return m_stopSeen; }
    bool hasAnySource() const;
    InpaintResult fill(InpaintObserver* observer);

private:
    std::size_t at(int x, int y) const {
        return std::size_t(y - m_region.top) * std::size_t(m_regionWidth) +
               std::size_t(x - m_region.left);
    }
    std::int8_t stateAt(int x, int y) const {
        return m_region.contains(x, y) ? m_state[at(x, y)] : kKnown;
    }
    bool onFront(int x, int y) const;
    void markFront(const Box& window);
    Box blockBox(int x, int y, int margin) const;
    // The best front pixel of each row of the marked box, kept up to date for
    // the rows a step changes, so selecting the next target reads one entry per row.
    struct RowBest {
        double priority = 0.0;  // strictly greatest above 0, first in the row
        int x = -1;
        int firstFront = -1;  // -1: no front pixel in the row
    };
    void refreshRows(int top, int bottom);
    bool selectTarget(int& px, int& py) const;
    bool findSource(int px, int py, int& sx, int& sy, bool anywhere);
    double confidenceTerm(int x, int y) const;
    double dataTerm(int x, int y) const;
    std::pair<double, double> gradient(int x, int y) const;
    double gradientMagnitude(int x, int y) const;
    void updateGradients(const Box& window);
    std::pair<double, double> frontDirection(int x, int y) const;
    double priority(int x, int y) const { return confidenceTerm(x, y) * dataTerm(x, y); }
    void updatePriorities(const Box& window);
    long long copyBlock(int px, int py, int sx, int sy, double c);
    void updateMask(int px, int py);
    void writeBack(const Box& box);

    PixelView m_picture;
    InpaintOptions m_options;
    int m_width;
    int m_height;
    int m_radius;
    Box m_box;     // marked box
    Box m_region;  // marked box with the margins the priorities read
    int m_regionWidth = 0;
    Box m_window;  // candidate centres of the windowed search
    long long m_pixelsToFill = 0;
    HugePageVector<std::uint32_t> m_pixel;  // current values over the region
    HugePageVector<std::int8_t> m_state;
    HugePageVector<double> m_confidence;
    HugePageVector<double> m_priority;
    HugePageVector<double> m_gray;
    // Squared gradient of each pixel, or -1 where the pixel or one of its
    // neighbours is not known; worked out when the data term first reads it and
    // again after a fill changes it, so the data term mostly just compares.
    static constexpr double kStale = std::numeric_limits<double>::infinity();
    mutable HugePageVector<double> m_magnitude;
    SourceMap m_sources;
    CellPlane m_cells;  // over the search window's blocks
    TargetBlock m_target;
    std::vector<RowBest> m_rowBest;  // per row of the marked box
    std::unique_ptr<WorkerPool> m_pool;
    InpaintObserver* m_observer;
    std::chrono::steady_clock::time_point m_lastYield;
    bool m_stopSeen = false;
    std::function<bool()> m_poll;
    bool m_havePrevious = false;
    int m_prevPx = 0, m_prevPy = 0, m_prevSx = 0, m_prevSy = 0;
};

std::atomic<bool> g_yieldOnlyAfterStages{false};

bool Run::pollStop() {
    if (m_observer == nullptr || m_stopSeen) return m_stopSeen;
    if (g_yieldOnlyAfterStages.load(std::memory_order_relaxed)) return false;
    const auto now = std::chrono::steady_clock::now();
    if (now - m_lastYield < kYieldEvery) return false;
    m_lastYield = now;
    m_stopSeen = m_observer->yield();
    return m_stopSeen;
}

bool Run::findMarkedBox() {
    Box box{m_width, m_height, -1, -1};
    long long count = 0;
    const std::uint32_t key = std::uint32_t(m_options.mask.red) << 16 |
                              std::uint32_t(m_options.mask.green) << 8 | m_options.mask.blue;
    for (int y = 0; y < m_height; ++y) {
        if (y % 256 == 0 && pollStop()) return false;
        const std::uint8_t* row = m_picture.pixel(0, y);
        // A count the compiler turns into vector compares; only rows with a
        // marked pixel are looked at again for their ends.
        int inRow = 0;
        for (int x = 0; x < m_width; ++x)
            inRow += (load32(row + 4 * std::ptrdiff_t(x)) & 0x00FFFFFFu) == key ? 1 : 0;
        if (inRow == 0) continue;
        count += inRow;
        int first = 0, last = m_width - 1;
        while ((load32(row + 4 * std::ptrdiff_t(first)) & 0x00FFFFFFu) != key) ++first;
        while ((load32(row + 4 * std::ptrdiff_t(last)) & 0x00FFFFFFu) != key) --last;
        box.left = std::min(box.left, first);
        box.right = std::max(box.right, last);
        box.top = std::min(box.top, y);
        box.bottom = std::max(box.bottom, y);
    }
    m_box = box;
    m_pixelsToFill = count;
    return count > 0;
}

Box Run::blockBox(int x, int y, int margin) const {
    const int r = m_radius + margin;
    return {std::max(0, x - r), std::max(0, y - r), std::min(m_width - 1, x + r),
            std::min(m_height - 1, y + r)};
}

bool Run::load() {
    // The mask update reads two pixels past a block and the front test one more.
    const int margin = m_radius + 3;
    m_region = {std::max(0, m_box.left - margin), std::max(0, m_box.top - margin),
                std::min(m_width - 1, m_box.right + margin),
                std::min(m_height - 1, m_box.bottom + margin)};
    m_regionWidth = m_region.right - m_region.left + 1;
    const std::size_t n = std::size_t(m_region.area());
    if (!fillPolled(m_pixel, n, std::uint32_t(0), &m_poll) ||
        !fillPolled(m_state, n, kKnown, &m_poll) || !fillPolled(m_confidence, n, 0.0, &m_poll) ||
        !fillPolled(m_priority, n, 0.0, &m_poll) || !fillPolled(m_gray, n, 0.0, &m_poll))
        return false;
    // Rows at a time between polls: a full-size photo's region takes a good part
    // of a second.
    constexpr int kRowsPerPoll = 64;
    for (int y = m_region.top; y <= m_region.bottom; ++y) {
        if ((y - m_region.top) % kRowsPerPoll == 0 && pollStop()) return false;
        for (int x = m_region.left; x <= m_region.right; ++x) {
            const std::size_t i = at(x, y);
            const std::uint32_t v = load32(m_picture.pixel(x, y));
            m_pixel[i] = v;
            m_gray[i] = grayOfPixel(v);
            const bool marked = isMask(v, m_options.mask);
            m_state[i] = marked ? kUnfilled : kKnown;
            m_confidence[i] = marked ? 0.0 : 1.0;
        }
    }
    markFront(m_box);
    if (pollStop()) return false;

    // In 64 bits: a border near the top of the int range must clip, not wrap.
    const long long b = m_options.scanBorder;
    m_window = {int(std::max(0LL, m_box.left - b)), int(std::max(0LL, m_box.top - b)),
                int(std::min<long long>(m_width - 1, m_box.right + b)),
                int(std::min<long long>(m_height - 1, m_box.bottom + b))};

    // Source centres whose block meets the marked box are checked against a
    // summed table of the marked pixels; all others only need to fit the picture.
    m_sources.width = m_width;
    m_sources.height = m_height;
    m_sources.radius = m_radius;
    m_sources.zone = {std::max(0, m_box.left - m_radius), std::max(0, m_box.top - m_radius),
                      std::min(m_width - 1, m_box.right + m_radius),
                      std::min(m_height - 1, m_box.bottom + m_radius)};
    const int bw = m_box.right - m_box.left + 1;
    const int bh = m_box.bottom - m_box.top + 1;
    std::vector<std::int32_t> table(std::size_t(bw + 1) * std::size_t(bh + 1), 0);
    auto t = [&](int x, int y) -> std::int32_t& {
        return table[std::size_t(y) * std::size_t(bw + 1) + std::size_t(x)];
    };
    for (int y = 0; y < bh; ++y)
        for (int x = 0; x < bw; ++x)
            t(x + 1, y + 1) = t(x, y + 1) + t(x + 1, y) - t(x, y) +
                              (m_state[at(m_box.left + x, m_box.top + y)] < 0 ? 1 : 0);
    if (pollStop()) return false;
    const Box& z = m_sources.zone;
    if (!fillPolled(m_sources.okIn, std::size_t(z.area()), std::uint8_t(0), &m_poll)) return false;
    std::size_t k = 0;
    for (int y = z.top; y <= z.bottom; ++y) {
        if ((y - z.top) % kRowsPerPoll == 0 && pollStop()) return false;
        for (int x = z.left; x <= z.right; ++x, ++k) {
            if (x < m_radius || x > m_width - m_radius - 1 || y < m_radius ||
                y > m_height - m_radius - 1)
                continue;
            const int l = std::max(x - m_radius, m_box.left) - m_box.left;
            const int r = std::min(x + m_radius, m_box.right) - m_box.left + 1;
            const int tp = std::max(y - m_radius, m_box.top) - m_box.top;
            const int bt = std::min(y + m_radius, m_box.bottom) - m_box.top + 1;
            const std::int32_t marked =
                l >= r || tp >= bt ? 0 : t(r, bt) - t(l, bt) - t(r, tp) + t(l, tp);
            m_sources.okIn[k] = marked == 0 ? 1 : 0;
        }
    }
    m_sources.sumOk();
    if (pollStop()) return false;

    if (!fillPolled(m_magnitude, n, kStale, &m_poll)) return false;

    for (int y = m_box.top; y <= m_box.bottom; ++y) {
        if ((y - m_box.top) % kRowsPerPoll == 0 && pollStop()) return false;
        for (int x = m_box.left; x <= m_box.right; ++x)
            if (m_state[at(x, y)] == kFront) m_priority[at(x, y)] = priority(x, y);
    }
    m_rowBest.assign(std::size_t(m_box.bottom - m_box.top + 1), RowBest{});
    refreshRows(m_box.top, m_box.bottom);
    if (pollStop()) return false;

    buildCellPlane(m_cells, m_picture, m_radius, m_window, &m_poll);
    if (m_stopSeen) return false;
    if (tilesPayOff(m_window.area(), m_pixelsToFill, m_radius))
        listSourceTiles(m_cells, m_picture, m_sources, m_window, m_radius, &m_poll);
    if (m_stopSeen) return false;

    const int threads = effectiveThreadCount(m_options.threads);
    if (threads > 1) m_pool = std::make_unique<WorkerPool>(threads);
    return !pollStop();
}

bool Run::hasAnySource() const {
    if (m_width < 2 * m_radius + 1 || m_height < 2 * m_radius + 1) return false;
    const Box centres{m_radius, m_radius, m_width - m_radius - 1, m_height - m_radius - 1};
    const Box& z = m_sources.zone;
    if (centres.left < z.left || centres.right > z.right || centres.top < z.top ||
        centres.bottom > z.bottom)
        return true;
    return std::find(m_sources.okIn.begin(), m_sources.okIn.end(), 1) != m_sources.okIn.end();
}

// A pixel to fill is on the front when it lies on the picture border or one of
// its four direct neighbours is known; diagonal contact does not count.
bool Run::onFront(int x, int y) const {
    if (y == 0 || y == m_height - 1 || x == 0 || x == m_width - 1) return true;
    return stateAt(x + 1, y) == kKnown || stateAt(x - 1, y) == kKnown ||
           stateAt(x, y + 1) == kKnown || stateAt(x, y - 1) == kKnown;
}

void Run::markFront(const Box& window) {
    for (int y = window.top; y <= window.bottom; ++y)
        for (int x = window.left; x <= window.right; ++x) {
            std::int8_t& s = m_state[at(x, y)];
            if (s == kUnfilled && onFront(x, y)) s = kFront;
        }
}

std::pair<double, double> Run::gradient(int x, int y) const {
    const std::size_t i = at(x, y);
    const std::size_t W = std::size_t(m_regionWidth);
    double gx = 0.0;
    double gy = 0.0;
    // Central differences inside, one-sided (not halved) at the borders.
    if (m_width > 1) {
        if (x == 0)
            gx = m_gray[i + 1] - m_gray[i];
        else if (x == m_width - 1)
            gx = m_gray[i] - m_gray[i - 1];
        else
            gx = (m_gray[i + 1] - m_gray[i - 1]) / 2.0;
    }
    if (m_height > 1) {
        if (y == 0)
            gy = m_gray[i + W] - m_gray[i];
        else if (y == m_height - 1)
            gy = m_gray[i] - m_gray[i - W];
        else
            gy = (m_gray[i + W] - m_gray[i - W]) / 2.0;
    }
    return {gx, gy};
}

std::pair<double, double> Run::frontDirection(int x, int y) const {
    // The first two front pixels of the clipped 3 x 3 neighbourhood, in scan order.
    int found = 0;
    int xs[2] = {0, 0};
    int ys[2] = {0, 0};
    const Box n = {std::max(0, x - 1), std::max(0, y - 1), std::min(m_width - 1, x + 1),
                   std::min(m_height - 1, y + 1)};
    for (int ny = n.top; ny <= n.bottom && found < 2; ++ny)
        for (int nx = n.left; nx <= n.right && found < 2; ++nx) {
            if (nx == x && ny == y) continue;
            if (m_state[at(nx, ny)] == kFront) {
                xs[found] = nx;
                ys[found] = ny;
                ++found;
            }
        }
    if (found < 2) return {0.6, 0.8};
    const int dx = xs[1] - xs[0];
    const int dy = ys[1] - ys[0];
    const double len = std::sqrt(double(dx * dx + dy * dy));
    const double u = dy == 0 ? 0.0 : double(dy) / len;
    const double v = dx == 0 ? 0.0 : double(dx) / len;
    return {u, v};
}

double Run::confidenceTerm(int x, int y) const {
    // Rows outer, columns inner, from 0.0: the order fixes the last bits, which
    // can decide a near-tie between priorities. Adding a zero changes nothing,
    // so the unfilled pixels' zeros are added too, with no branch to mispredict.
    const Box r = blockBox(x, y, 0);
    double sum = 0.0;
    for (int ny = r.top; ny <= r.bottom; ++ny) {
        const double* c = &m_confidence[at(r.left, ny)];
        for (int k = 0, n = r.right - r.left + 1; k < n; ++k) sum += c[k];
    }
    const double side = 2.0 * m_radius + 1.0;
    return sum / (side * side);
}

double Run::gradientMagnitude(int x, int y) const {
    // Known pixels whose four linear-index neighbours are known too; the index
    // wraps across rows at columns 0 and W-1.
    auto knownAt = [&](int nx, int ny) {
        if (nx < 0) {
            nx = m_width - 1;
            --ny;
        } else if (nx > m_width - 1) {
            nx = 0;
            ++ny;
        }
        return ny >= 0 && ny <= m_height - 1 && stateAt(nx, ny) >= 0;
    };
    if (m_state[at(x, y)] < 0 || !knownAt(x + 1, y) || !knownAt(x - 1, y) || !knownAt(x, y + 1) ||
        !knownAt(x, y - 1))
        return -1.0;
    const auto [gx, gy] = gradient(x, y);
    return gx * gx + gy * gy;
}

void Run::updateGradients(const Box& window) {
    auto stale = [&](int left, int top, int right, int bottom) {
        for (int y = std::max(top, m_region.top); y <= std::min(bottom, m_region.bottom); ++y)
            for (int x = std::max(left, m_region.left); x <= std::min(right, m_region.right); ++x)
                m_magnitude[at(x, y)] = kStale;
    };
    stale(window.left, window.top, window.right, window.bottom);
    // Through the wrap, column 0 is the right neighbour of column W-1 a row up.
    if (window.left == 0) stale(m_width - 1, window.top - 1, m_width - 1, window.bottom - 1);
    if (window.right == m_width - 1) stale(0, window.top + 1, 0, window.bottom + 1);
}

double Run::dataTerm(int x, int y) const {
    // The strongest gradient in the block; of equal ones the first in scan order.
    const Box r = blockBox(x, y, 0);
    double bestMagnitude = 0.0;
    int bx = -1, by = -1;
    for (int ny = r.top; ny <= r.bottom; ++ny) {
        double* row = &m_magnitude[at(r.left, ny)];
        for (int k = 0; k <= r.right - r.left; ++k) {
            double m = row[k];
            if (!(m > bestMagnitude)) continue;
            if (m == kStale) {
                m = row[k] = gradientMagnitude(r.left + k, ny);
                if (!(m > bestMagnitude)) continue;
            }
            bestMagnitude = m;
            bx = r.left + k;
            by = ny;
        }
    }
    double gxBest = 0.0;
    double gyBest = 0.0;
    if (bx >= 0) std::tie(gxBest, gyBest) = gradient(bx, by);
    const auto [u, v] = frontDirection(x, y);
    return std::fabs(u * gyBest - v * gxBest) / 255.0;
}

void Run::updatePriorities(const Box& window) {
    for (int y = window.top; y <= window.bottom; ++y)
        for (int x = window.left; x <= window.right; ++x)
            if (m_state[at(x, y)] == kFront) m_priority[at(x, y)] = priority(x, y);
}

void Run::refreshRows(int top, int bottom) {
    const int n = m_box.right - m_box.left + 1;
    for (int y = std::max(top, m_box.top); y <= std::min(bottom, m_box.bottom); ++y) {
        RowBest& r = m_rowBest[std::size_t(y - m_box.top)];
        r = RowBest{};
        const std::int8_t* row = &m_state[at(m_box.left, y)];
        const double* prio = &m_priority[at(m_box.left, y)];
        const void* from = row;
        while (const void* hit =
                   std::memchr(from, std::uint8_t(kFront),
                               std::size_t(row + n - static_cast<const std::int8_t*>(from)))) {
            const int k = int(static_cast<const std::int8_t*>(hit) - row);
            if (r.firstFront < 0) r.firstFront = m_box.left + k;
            // Strictly greater: of equal priorities the first in scan order wins.
            if (prio[k] > r.priority) {
                r.priority = prio[k];
                r.x = m_box.left + k;
            }
            from = row + k + 1;
            if (k + 1 >= n) break;
        }
    }
}

bool Run::selectTarget(int& px, int& py) const {
    double best = 0.0;
    bool found = false;
    bool haveFirstFront = false;
    int firstX = 0;
    int firstY = 0;
    for (int y = m_box.top; y <= m_box.bottom; ++y) {
        const RowBest& r = m_rowBest[std::size_t(y - m_box.top)];
        if (r.firstFront < 0) continue;
        if (!haveFirstFront) {
            haveFirstFront = true;
            firstX = r.firstFront;
            firstY = y;
        }
        // Strictly greater, rows in order: the first in scan order wins a tie.
        if (r.priority > best) {
            best = r.priority;
            px = r.x;
            py = y;
            found = true;
        }
    }
    if (!found && haveFirstFront) {
        px = firstX;
        py = firstY;
    }
    return found;
}

// Half the side of the box around the target searched first in a wide window.
constexpr int kNearReach = 48;

bool Run::findSource(int px, int py, int& sx, int& sy, bool anywhere) {
    prepareTarget(
        m_target, m_width, m_height, m_radius, px, py, cellSideFor(m_radius),
        [this](int x, int y) { return m_pixel[at(x, y)]; },
        [this](int x, int y) { return m_state[at(x, y)] >= 0; });
    // The last source moved as the target moved is usually an excellent match.
    std::vector<std::pair<int, int>> seeds;
    if (m_havePrevious) {
        seeds.push_back({m_prevSx + (px - m_prevPx), m_prevSy + (py - m_prevPy)});
        seeds.push_back({m_prevSx, m_prevSy});
    }
    const Box whole{0, 0, m_width - 1, m_height - 1};
    // In a wide window, good matches are most often close by: the best of a
    // small box around the target first lets the full scan drop more, sooner.
    const Box local{
        std::max(m_window.left, px - kNearReach), std::max(m_window.top, py - kNearReach),
        std::min(m_window.right, px + kNearReach), std::min(m_window.bottom, py + kNearReach)};
    const bool nearFirst = !anywhere && m_window.area() > 16 * local.area();
    // With the window's tiles listed, its own search takes the box first.
    const bool nearInWindow = nearFirst && !m_cells.tileRanges.empty();
    if (nearFirst && !nearInWindow) {
        const SearchBest near = searchBestSource(m_picture, m_sources, m_target, local, kNoMatch,
                                                 seeds, &m_cells, m_pool.get(), &m_poll);
        if (near.stopped) return false;
        if (near.index >= 0)
            seeds.push_back({int(near.index % m_width), int(near.index / m_width)});
    }
    const SearchBest best = searchBestSource(
        m_picture, m_sources, m_target, anywhere ? whole : m_window,
        anywhere ? std::numeric_limits<std::int64_t>::max() : kNoMatch, seeds,
        anywhere ? nullptr : &m_cells, m_pool.get(), &m_poll, nearInWindow ? &local : nullptr);
    if (best.stopped || best.index < 0) return false;
    sx = int(best.index % m_width);
    sy = int(best.index / m_width);
    return true;
}

long long Run::copyBlock(int px, int py, int sx, int sy, double c) {
    const Box b = blockBox(px, py, 0);
    long long copied = 0;
    for (int ty = b.top; ty <= b.bottom; ++ty)
        for (int tx = b.left; tx <= b.right; ++tx) {
            const std::size_t t = at(tx, ty);
            if (m_state[t] >= 0) continue;
            // Sources are known from the start and never written, so the picture
            // itself holds them.
            const std::uint32_t v = load32(m_picture.pixel(sx + (tx - px), sy + (ty - py)));
            m_pixel[t] = v;
            m_gray[t] = grayOfPixel(v);
            m_confidence[t] = c;
            ++copied;
        }
    m_pixelsToFill -= copied;
    return copied;
}

void Run::updateMask(int px, int py) {
    const Box window = blockBox(px, py, 2);
    for (int y = window.top; y <= window.bottom; ++y)
        for (int x = window.left; x <= window.right; ++x) {
            const std::size_t i = at(x, y);
            m_state[i] = isMask(m_pixel[i], m_options.mask) ? kUnfilled : kKnown;
        }
    markFront(window);
}

void Run::writeBack(const Box& box) {
    for (int y = box.top; y <= box.bottom; ++y)
        std::memcpy(m_picture.pixel(box.left, y), &m_pixel[at(box.left, y)],
                    std::size_t(box.right - box.left + 1) * 4u);
}

InpaintResult Run::fill(InpaintObserver* observer) {
    auto stopped = [this, observer] {
        m_lastYield = std::chrono::steady_clock::now();
        return observer != nullptr && observer->yield();
    };
    auto stopResult = [] { return failure(InpaintStatus::Stopped, "The removal was stopped."); };

    int n = 0;
    int px = 0, py = 0;  // target, persists from step to step
    int sx = 0, sy = 0;  // source, persists from step to step
    bool sourceFound = false;
    while (m_pixelsToFill > 0) {
        ++n;
        selectTarget(px, py);
        if (stopped()) return stopResult();

        // Best source in the search window; the previous source when the window
        // has none; the whole picture when no source has been found yet.
        if (findSource(px, py, sx, sy, false))
            sourceFound = true;
        else if (!sourceFound && !m_stopSeen)
            sourceFound = findSource(px, py, sx, sy, true);
        if (m_stopSeen || stopped()) return stopResult();

        const double c = confidenceTerm(px, py);
        copyBlock(px, py, sx, sy, c);
        m_havePrevious = true;
        m_prevPx = px;
        m_prevPy = py;
        m_prevSx = sx;
        m_prevSy = sy;
        if (stopped()) return stopResult();

        updateMask(px, py);
        // The mask update reaches two pixels past the block; gradients one more.
        updateGradients(blockBox(px, py, 3));
        if (stopped()) return stopResult();

        updatePriorities(blockBox(px, py, 3));
        // The mask changed within two pixels of the block, priorities within three.
        refreshRows(py - m_radius - 3, py + m_radius + 3);
        if (stopped()) return stopResult();

        if (observer) observer->stepFinished(n, m_pixelsToFill);
        if (m_options.preview && observer) {
            const Box changed = blockBox(px, py, 0);
            writeBack(changed);
            observer->preview(m_picture,
                              {changed.left, changed.top, changed.right - changed.left + 1,
                               changed.bottom - changed.top + 1});
            (void)observer->yield();  // not tested: the next test follows the next selection
        }
    }
    writeBack(m_box);
    InpaintResult done;
    done.steps = n;
    return done;
}

}  // namespace

void yieldOnlyAfterStages(bool on) { g_yieldOnlyAfterStages.store(on, std::memory_order_relaxed); }

InpaintResult Inpaint(PixelView picture, const InpaintOptions& options, InpaintObserver* observer) {
    // The boundary check: everything past it may trust sizes and options.
    if (picture.width < 0 || picture.height < 0 ||
        (picture.bytes == nullptr && picture.width > 0 && picture.height > 0) ||
        picture.stride < std::ptrdiff_t(picture.width) * 4)
        return failure(InpaintStatus::InvalidInput,
                       "The picture buffer does not hold 4 bytes for every pixel.");
    if (picture.width > kMaxPictureSide || picture.height > kMaxPictureSide)
        return failure(InpaintStatus::InvalidInput,
                       "The picture is larger than 32767 pixels in one direction.");
    if (options.radius < 1 || options.radius > kMaxBlockRadius)
        return failure(InpaintStatus::InvalidInput, "The block size is out of range.");
    if (options.scanBorder < 0)
        return failure(InpaintStatus::InvalidInput, "The scan border is negative.");
    if (options.threads < 0)
        return failure(InpaintStatus::InvalidInput, "The thread count is negative.");

    Run run(picture, options, observer);
    auto stopResult = [] { return failure(InpaintStatus::Stopped, "The removal was stopped."); };
    // Nothing marked: the picture stays as it is and no step is made.
    if (!run.findMarkedBox()) return run.stopSeen() ? stopResult() : InpaintResult{};
    try {
        if (!run.load()) return stopResult();
    } catch (const std::bad_alloc&) {
        return failure(InpaintStatus::OutOfMemory,
                       "There is not enough memory to work on this picture.");
    }
    // Without a single whole known block there is nothing to copy from.
    if (!run.hasAnySource())
        return failure(InpaintStatus::NoSourceArea,
                       "No area of the picture can serve as a source: it is smaller "
                       "than one block or marked almost everywhere.");
    return run.fill(observer);
}

InpaintResult Inpaint(PixelBuffer& picture, const InpaintOptions& options,
                      InpaintObserver* observer) {
    if (!picture.isValid())
        return failure(InpaintStatus::InvalidInput,
                       "The picture buffer does not hold 4 bytes for every pixel.");
    return Inpaint(picture.view(), options, observer);
}

}  // namespace velmora
