#include "reference_inpainting.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>

namespace velmora::reference {

namespace {

// Sums at or above this never make a candidate in the windowed search.
constexpr double kNoMatch = 99999999.0;

}  // namespace

double grayOf(double red, double green, double blue) {
    return (19267.0 * green + 3735.0 * red + 9765.0 * blue) / 32767.0;
}

// ---------------------------------------------------------------------------
// Working state
// ---------------------------------------------------------------------------

void InpaintEngine::load(const PixelBuffer& picture, int blockRadius) {
    // Step 1: the grid is the picture as read; W, H and w come with it.
    m_grid = picture;
    m_width = picture.width;
    m_height = picture.height;
    m_blockRadius = blockRadius;

    // Step 2: every per-pixel array starts at 0 (false).
    const std::size_t n = std::size_t(m_width) * std::size_t(m_height);
    m_pixelValue.assign(n, 0);
    m_red.assign(n, 0.0);
    m_green.assign(n, 0.0);
    m_blue.assign(n, 0.0);
    m_gray.assign(n, 0.0);
    m_maskState.assign(n, 0);
    m_confidence.assign(n, 0.0);
    m_priority.assign(n, 0.0);
    m_sourceBlockOk.assign(n, 0);
    m_pixelsToFill = 0;

    // Step 3: the box starts inverted so that the first marked pixel sets it.
    m_targetTop = m_height;
    m_targetBottom = 0;
    m_targetLeft = m_width;
    m_targetRight = 0;
    m_searchTop = 0;
    m_searchBottom = -1;
    m_searchLeft = 0;
    m_searchRight = -1;

    // Step 4: pixel copies and the three channels, row-major.
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint8_t* p = &m_grid.bytes[i * 4];
        std::uint32_t v;
        std::memcpy(&v, p, 4);
        m_pixelValue[i] = v;
        m_red[i] = p[2];
        m_green[i] = p[1];
        m_blue[i] = p[0];
    }
}

void InpaintEngine::BuildGrayImage() {
    const std::size_t n = m_gray.size();
    for (std::size_t i = 0; i < n; ++i) m_gray[i] = grayOf(m_red[i], m_green[i], m_blue[i]);
}

PixelRect InpaintEngine::blockRect(int x, int y) const {
    const int w = m_blockRadius;
    const int left = std::max(0, x - w);
    const int right = std::min(m_width - 1, x + w);
    const int top = std::max(0, y - w);
    const int bottom = std::min(m_height - 1, y + w);
    return {left, top, right - left + 1, bottom - top + 1};
}

// ---------------------------------------------------------------------------
// Target mask and fill front
// ---------------------------------------------------------------------------

bool InpaintEngine::hasMaskColour(std::ptrdiff_t i, const MaskColour& mask) const {
    const std::uint8_t* p = &m_grid.bytes[std::size_t(i) * 4];
    return p[2] == mask.red && p[1] == mask.green && p[0] == mask.blue;
}

// A pixel to fill is on the front when it lies on the picture border or one of
// its four direct neighbours is known; diagonal contact does not count.
bool InpaintEngine::onFront(int x, int y) const {
    if (y == 0 || y == m_height - 1 || x == 0 || x == m_width - 1) return true;
    const std::ptrdiff_t i = index(x, y);
    return m_maskState[i + 1] == kKnown || m_maskState[i - 1] == kKnown ||
           m_maskState[i + m_width] == kKnown || m_maskState[i - m_width] == kKnown;
}

void InpaintEngine::BuildTargetMask(const MaskColour& mask) {
    // 1. Exact colour decides: mask colour is to fill (confidence 0), the rest known (1).
    const std::ptrdiff_t n = std::ptrdiff_t(m_maskState.size());
    for (std::ptrdiff_t i = 0; i < n; ++i) {
        if (hasMaskColour(i, mask)) {
            m_maskState[i] = kUnfilled;
            m_confidence[i] = 0.0;
            ++m_pixelsToFill;
        } else {
            m_maskState[i] = kKnown;
            m_confidence[i] = 1.0;
        }
    }
    // 2-3. Widen the box and mark the front. The front test compares with 0 only,
    // so pixels marked -2 earlier in this scan do not sway their neighbours.
    for (int y = 0; y < m_height; ++y) {
        for (int x = 0; x < m_width; ++x) {
            const std::ptrdiff_t i = index(x, y);
            if (m_maskState[i] != kUnfilled) continue;
            if (x < m_targetLeft) m_targetLeft = x;
            if (x > m_targetRight) m_targetRight = x;
            if (y > m_targetBottom) m_targetBottom = y;
            if (y < m_targetTop) m_targetTop = y;
            if (onFront(x, y)) m_maskState[i] = kFront;
        }
    }
}

void InpaintEngine::UpdateMask(int px, int py, const MaskColour& mask) {
    // 1. The block and a two-pixel margin, clipped to the picture.
    const int w = m_blockRadius;
    const int top = std::max(0, py - w - 2);
    const int bottom = std::min(m_height - 1, py + w + 2);
    const int left = std::max(0, px - w - 2);
    const int right = std::min(m_width - 1, px + w + 2);
    // 2. Re-derive from colour: copied pixels have left the mask colour.
    for (int y = top; y <= bottom; ++y)
        for (int x = left; x <= right; ++x) {
            const std::ptrdiff_t i = index(x, y);
            m_maskState[i] = hasMaskColour(i, mask) ? kUnfilled : kKnown;
        }
    // 3. Mark the front again; neighbours outside the window keep their state.
    for (int y = top; y <= bottom; ++y)
        for (int x = left; x <= right; ++x) {
            const std::ptrdiff_t i = index(x, y);
            if (m_maskState[i] == kUnfilled && onFront(x, y)) m_maskState[i] = kFront;
        }
}

bool InpaintEngine::HasUnfilledPixels() const {
    for (int y = m_targetTop; y <= m_targetBottom; ++y)
        for (int x = m_targetLeft; x <= m_targetRight; ++x)
            if (m_maskState[index(x, y)] < 0) return true;
    return false;
}

// ---------------------------------------------------------------------------
// Fill priority
// ---------------------------------------------------------------------------

std::pair<double, double> InpaintEngine::Gradient(int x, int y) const {
    const std::ptrdiff_t i = index(x, y);
    const std::ptrdiff_t W = m_width;
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

std::pair<double, double> InpaintEngine::FrontDirection(int x, int y) const {
    // 1. The first two front pixels of the clipped 3 x 3 neighbourhood, in scan order.
    int found = 0;
    int xs[2] = {0, 0};
    int ys[2] = {0, 0};
    const int top = std::max(0, y - 1);
    const int bottom = std::min(m_height - 1, y + 1);
    const int left = std::max(0, x - 1);
    const int right = std::min(m_width - 1, x + 1);
    for (int ny = top; ny <= bottom && found < 2; ++ny)
        for (int nx = left; nx <= right && found < 2; ++nx) {
            if (nx == x && ny == y) continue;
            if (m_maskState[index(nx, ny)] == kFront) {
                xs[found] = nx;
                ys[found] = ny;
                ++found;
            }
        }
    // 2. An isolated pixel or a stroke tip gets a fixed slanted direction.
    if (found < 2) return {0.6, 0.8};
    // 3. The row difference comes first.
    const int dx = xs[1] - xs[0];
    const int dy = ys[1] - ys[0];
    const double len = std::sqrt(double(dx * dx + dy * dy));
    const double u = dy == 0 ? 0.0 : double(dy) / len;
    const double v = dx == 0 ? 0.0 : double(dx) / len;
    return {u, v};
}

double InpaintEngine::ConfidenceTerm(int x, int y) const {
    // Summed rows outer, columns inner from 0.0: another order changes the last
    // bits and can flip a near-tie between priorities.
    const PixelRect r = blockRect(x, y);
    double sum = 0.0;
    for (int ny = r.y; ny < r.y + r.height; ++ny)
        for (int nx = r.x; nx < r.x + r.width; ++nx) sum += m_confidence[index(nx, ny)];
    // Divided by the full block area, also where the block is clipped.
    const double side = 2.0 * m_blockRadius + 1.0;
    return sum / (side * side);
}

double InpaintEngine::DataTerm(int x, int y) const {
    // 1-2. Strongest gradient among known pixels whose four linear-index
    // neighbours are known too; the index wraps across rows at columns 0 and W-1.
    const PixelRect r = blockRect(x, y);
    const std::ptrdiff_t last = std::ptrdiff_t(m_width) * m_height - 1;
    const std::ptrdiff_t W = m_width;
    auto knownAt = [&](std::ptrdiff_t j) { return j >= 0 && j <= last && m_maskState[j] >= 0; };
    double bestMagnitude = 0.0;
    double gxBest = 0.0;
    double gyBest = 0.0;
    for (int ny = r.y; ny < r.y + r.height; ++ny)
        for (int nx = r.x; nx < r.x + r.width; ++nx) {
            const std::ptrdiff_t j = index(nx, ny);
            if (m_maskState[j] < 0 || !knownAt(j + 1) || !knownAt(j - 1) || !knownAt(j + W) ||
                !knownAt(j - W))
                continue;
            const auto [gx, gy] = Gradient(nx, ny);
            const double magnitude = gx * gx + gy * gy;
            if (magnitude > bestMagnitude) {
                bestMagnitude = magnitude;
                gxBest = gx;
                gyBest = gy;
            }
        }
    // 3-4. How strongly that edge runs across the front.
    const auto [u, v] = FrontDirection(x, y);
    return std::fabs(u * gyBest - v * gxBest) / 255.0;
}

double InpaintEngine::Priority(int x, int y) const {
    const double c = ConfidenceTerm(x, y);
    return c * DataTerm(x, y);
}

void InpaintEngine::computeInitialPriorities() {
    for (int y = m_targetTop; y <= m_targetBottom; ++y)
        for (int x = m_targetLeft; x <= m_targetRight; ++x)
            if (m_maskState[index(x, y)] == kFront) m_priority[index(x, y)] = Priority(x, y);
}

void InpaintEngine::UpdatePriorities(int px, int py) {
    // The block and a three-pixel margin; front pixels elsewhere keep their value.
    const int w = m_blockRadius;
    const int top = std::max(0, py - w - 3);
    const int bottom = std::min(m_height - 1, py + w + 3);
    const int left = std::max(0, px - w - 3);
    const int right = std::min(m_width - 1, px + w + 3);
    for (int y = top; y <= bottom; ++y)
        for (int x = left; x <= right; ++x)
            if (m_maskState[index(x, y)] == kFront) m_priority[index(x, y)] = Priority(x, y);
}

bool InpaintEngine::selectTarget(int& px, int& py) const {
    double best = 0.0;
    bool found = false;
    bool haveFirstFront = false;
    int firstX = 0;
    int firstY = 0;
    for (int y = m_targetTop; y <= m_targetBottom; ++y)
        for (int x = m_targetLeft; x <= m_targetRight; ++x) {
            const std::ptrdiff_t i = index(x, y);
            if (m_maskState[i] != kFront) continue;
            if (!haveFirstFront) {
                haveFirstFront = true;
                firstX = x;
                firstY = y;
            }
            // Strictly greater: of equal priorities the first in scan order wins.
            if (m_priority[i] > best) {
                best = m_priority[i];
                px = x;
                py = y;
                found = true;
            }
        }
    // Flat surroundings give every front pixel priority 0; taking the first
    // front pixel then keeps each step filling something.
    if (!found && haveFirstFront) {
        px = firstX;
        py = firstY;
    }
    return found;
}

// ---------------------------------------------------------------------------
// Source block search and copy
// ---------------------------------------------------------------------------

void InpaintEngine::setSearchWindow(int scanBorder) {
    // In 64 bits: a border near the top of the int range must clip, not wrap.
    const long long b = scanBorder;
    m_searchLeft = int(m_targetLeft - b < 0 ? 0 : m_targetLeft - b);
    m_searchRight = int(m_targetRight + b > m_width - 1 ? m_width - 1 : m_targetRight + b);
    m_searchTop = int(m_targetTop - b < 0 ? 0 : m_targetTop - b);
    m_searchBottom = int(m_targetBottom + b > m_height - 1 ? m_height - 1 : m_targetBottom + b);
}

void InpaintEngine::MarkSourceBlocks() {
    // A source block lies wholly inside the picture and holds only pixels known
    // at the start; it is never updated, so filled pixels never serve as sources.
    const int w = m_blockRadius;
    for (int y = 0; y < m_height; ++y)
        for (int x = 0; x < m_width; ++x) {
            if (x < w || x > m_width - w - 1 || y < w || y > m_height - w - 1) continue;
            bool ok = true;
            for (int by = y - w; by <= y + w && ok; ++by)
                for (int bx = x - w; bx <= x + w; ++bx)
                    if (m_maskState[index(bx, by)] != kKnown) {
                        ok = false;
                        break;
                    }
            m_sourceBlockOk[index(x, y)] = ok ? 1 : 0;
        }
}

bool InpaintEngine::hasAnySourceBlock() const {
    return std::find(m_sourceBlockOk.begin(), m_sourceBlockOk.end(), 1) != m_sourceBlockOk.end();
}

double InpaintEngine::blockDistance(int px, int py, int cx, int cy) const {
    const int w = m_blockRadius;
    double sum = 0.0;
    for (int dy = -w; dy <= w; ++dy) {
        const int ty = py + dy;
        if (ty < 0 || ty > m_height - 1) continue;
        for (int dx = -w; dx <= w; ++dx) {
            const int tx = px + dx;
            if (tx < 0 || tx > m_width - 1) continue;
            const std::ptrdiff_t t = index(tx, ty);
            if (m_maskState[t] < 0) continue;
            const std::ptrdiff_t s = index(cx + dx, cy + dy);
            const double dr = m_red[t] - m_red[s];
            const double dg = m_green[t] - m_green[s];
            const double db = m_blue[t] - m_blue[s];
            sum += dr * dr + dg * dg + db * db;
        }
    }
    return sum;
}

bool InpaintEngine::bestSourceIn(int top, int bottom, int left, int right, double limit, int px,
                                 int py, int& sx, int& sy) const {
    // Strictly smaller wins, so equal sums keep the first candidate in scan order;
    // sums at or above the limit are never taken.
    double best = limit;
    bool found = false;
    for (int cy = top; cy <= bottom; ++cy)
        for (int cx = left; cx <= right; ++cx) {
            if (!m_sourceBlockOk[index(cx, cy)]) continue;
            const double sum = blockDistance(px, py, cx, cy);
            if (sum < best) {
                best = sum;
                sx = cx;
                sy = cy;
                found = true;
            }
        }
    return found;
}

bool InpaintEngine::FindSourceBlock(int px, int py, int& sx, int& sy) const {
    return bestSourceIn(m_searchTop, m_searchBottom, m_searchLeft, m_searchRight, kNoMatch, px, py,
                        sx, sy);
}

bool InpaintEngine::findSourceBlockAnywhere(int px, int py, int& sx, int& sy) const {
    return bestSourceIn(0, m_height - 1, 0, m_width - 1, std::numeric_limits<double>::infinity(),
                        px, py, sx, sy);
}

long long InpaintEngine::CopyBlock(int px, int py, int sx, int sy, double c) {
    const int w = m_blockRadius;
    long long copied = 0;
    for (int dy = -w; dy <= w; ++dy)
        for (int dx = -w; dx <= w; ++dx) {
            const int tx = px + dx;
            const int ty = py + dy;
            const int ux = sx + dx;
            const int uy = sy + dy;
            // 1. Only pixels still to fill, and only from inside the picture.
            if (tx < 0 || tx > m_width - 1 || ty < 0 || ty > m_height - 1) continue;
            const std::ptrdiff_t t = index(tx, ty);
            if (m_maskState[t] >= 0) continue;
            if (ux < 0 || ux > m_width - 1 || uy < 0 || uy > m_height - 1) continue;
            const std::ptrdiff_t s = index(ux, uy);
            // 2. The whole 4-byte pixel, byte 3 included.
            m_pixelValue[t] = m_pixelValue[s];
            std::memcpy(&m_grid.bytes[std::size_t(t) * 4], &m_pixelValue[s], 4);
            // 3-5. Channels, gray from the copied channels, the step's confidence.
            m_red[t] = m_red[s];
            m_green[t] = m_green[s];
            m_blue[t] = m_blue[s];
            m_gray[t] = (3735.0 * m_red[t] + 19267.0 * m_green[t] + 9765.0 * m_blue[t]) / 32767.0;
            m_confidence[t] = c;
            ++copied;
        }
    m_pixelsToFill -= copied;
    return copied;
}

// ---------------------------------------------------------------------------
// Removal run
// ---------------------------------------------------------------------------

namespace {

InpaintResult failure(InpaintStatus status, std::string message) {
    InpaintResult r;
    r.steps = 0;
    r.status = status;
    r.message = std::move(message);
    return r;
}

// Copies the rectangle `r` of `from` into `to`; both have the same size.
void copyRect(const PixelBuffer& from, PixelBuffer& to, const PixelRect& r) {
    for (int y = r.y; y < r.y + r.height; ++y) {
        const std::size_t o = from.offset(r.x, y);
        std::memcpy(&to.bytes[o], &from.bytes[o], std::size_t(r.width) * 4u);
    }
}

}  // namespace

InpaintResult Inpaint(PixelBuffer& picture, const InpaintOptions& options,
                      InpaintObserver* observer) {
    // The boundary check: everything past it may trust sizes and options.
    if (!picture.isValid())
        return failure(InpaintStatus::InvalidInput,
                       "The picture buffer does not hold 4 bytes for every pixel.");
    if (picture.width > kMaxPictureSide || picture.height > kMaxPictureSide)
        return failure(InpaintStatus::InvalidInput,
                       "The picture is larger than 32767 pixels in one direction.");
    if (options.radius < 1 || options.radius > kMaxBlockRadius)
        return failure(InpaintStatus::InvalidInput, "The block size is out of range.");
    if (options.scanBorder < 0)
        return failure(InpaintStatus::InvalidInput, "The scan border is negative.");

    auto stopped = [observer] { return observer != nullptr && observer->yield(); };

    InpaintEngine engine;
    try {
        // Set-up: read the picture, gray image, mask and front, search window,
        // source blocks, priorities. No yield happens here.
        engine.load(picture, options.radius);
        engine.BuildGrayImage();
        engine.BuildTargetMask(options.mask);
        engine.setSearchWindow(options.scanBorder);
        engine.MarkSourceBlocks();
    } catch (const std::bad_alloc&) {
        return failure(InpaintStatus::OutOfMemory,
                       "There is not enough memory to work on this picture.");
    }

    // Nothing marked: the picture stays as it is and no step is made.
    if (!engine.HasUnfilledPixels()) return {};
    // Without a single whole known block there is nothing to copy from.
    if (!engine.hasAnySourceBlock())
        return failure(InpaintStatus::NoSourceArea,
                       "No area of the picture can serve as a source: it is smaller "
                       "than one block or marked almost everywhere.");

    engine.computeInitialPriorities();

    int n = 0;
    int px = 0, py = 0;  // target, persists from step to step
    int sx = 0, sy = 0;  // source, persists from step to step
    bool sourceFound = false;
    while (engine.HasUnfilledPixels()) {
        ++n;
        // Highest priority front pixel; the first front pixel when all are 0.
        engine.selectTarget(px, py);
        if (stopped()) return failure(InpaintStatus::Stopped, "The removal was stopped.");

        // Best source in the search window; the previous source when the window
        // has none; the whole picture when no source has been found yet.
        if (engine.FindSourceBlock(px, py, sx, sy))
            sourceFound = true;
        else if (!sourceFound)
            sourceFound = engine.findSourceBlockAnywhere(px, py, sx, sy);
        if (stopped()) return failure(InpaintStatus::Stopped, "The removal was stopped.");

        const double c = engine.ConfidenceTerm(px, py);
        engine.CopyBlock(px, py, sx, sy, c);
        if (stopped()) return failure(InpaintStatus::Stopped, "The removal was stopped.");

        engine.UpdateMask(px, py, options.mask);
        if (stopped()) return failure(InpaintStatus::Stopped, "The removal was stopped.");

        engine.UpdatePriorities(px, py);
        if (stopped()) return failure(InpaintStatus::Stopped, "The removal was stopped.");

        if (observer) observer->stepFinished(n, engine.pixelsToFill());
        if (options.preview && observer) {
            // Only the block just filled differs from the last write.
            const PixelRect changed = engine.blockRect(px, py);
            copyRect(engine.grid(), picture, changed);
            observer->preview(picture.view(), changed);
            (void)observer->yield();  // not tested: the next test follows the next selection
        }
    }

    picture = engine.grid();
    InpaintResult done;
    done.steps = n;
    return done;
}

}  // namespace velmora::reference
