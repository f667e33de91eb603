#include "inpaint_check.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_set>
#include <vector>

#include "inpainting.h"
#include "test_switches.h"

namespace velmora_fuzz {

namespace {

using velmora::Inpaint;
using velmora::InpaintObserver;
using velmora::InpaintOptions;
using velmora::InpaintResult;
using velmora::InpaintStatus;
using velmora::PixelBuffer;
using velmora::PixelRect;
using velmora::PixelView;

constexpr int kMaxSide = 40;

// What is being run, printed with any broken promise so a crash log alone tells the case.
std::string g_case;

[[noreturn]] void broken(const char* what, int line) {
    std::fprintf(stderr, "inpaint fuzz: broken at inpaint_check.cpp:%d: %s\n  case: %s\n", line,
                 what, g_case.c_str());
    std::fflush(stderr);
    __builtin_trap();
}

#define FUZZ_CHECK(cond)                      \
    do {                                      \
        if (!(cond)) broken(#cond, __LINE__); \
    } while (0)

// Reads the input front to back; past the end every byte is 0.
class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}
    std::uint8_t next() { return m_pos < m_size ? m_data[m_pos++] : 0; }
    bool atEnd() const { return m_pos >= m_size; }

private:
    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_pos = 0;
};

enum class ObserverKind { None, NeverStops, Stops };

struct Case {
    PixelBuffer input;
    InpaintOptions options;
    ObserverKind observer = ObserverKind::None;
    long long stopAfter = 0;  // yields answered "go on" before the first "stop"
    int invalid = 0;          // 0, or which bad option or buffer the run is given
};

bool isGreen(const PixelBuffer& p, std::size_t pixel) {
    const std::uint8_t* b = &p.bytes[pixel * 4];
    return b[0] == 0 && b[1] == 255 && b[2] == 0;
}

void markPixel(PixelBuffer& p, int x, int y) { p.setRgb(x, y, 0, 255, 0); }

void paintPixel(PixelBuffer& p, int x, int y, const std::uint8_t* colour) {
    std::memcpy(&p.bytes[p.offset(x, y)], colour, 4);
}

Case decode(const std::uint8_t* data, std::size_t size) {
    Reader in(data, size);
    Case c;
    const int width = 1 + in.next() % kMaxSide;
    const int height = 1 + in.next() % kMaxSide;
    const int side = std::max(width, height);

    const std::uint8_t radius = in.next();
    c.options.radius = (radius & 0x80) ? 1 + (radius & 0x7f) % kMaxSide : 1 + radius % 12;

    const std::uint8_t border = in.next();
    const int b = border & 0x3f;
    switch (border >> 6) {
        case 0:
            c.options.scanBorder = b % 8;
            break;
        case 1:
            c.options.scanBorder = b % (side + 1);
            break;
        case 2:
            c.options.scanBorder = side + b;
            break;
        default:
            // The top of the int range too: the window must clip, not wrap.
            c.options.scanBorder = b >= 60 ? INT_MAX - (63 - b) : 64 * b;
            break;
    }

    const std::uint8_t flags = in.next();
    c.options.preview = (flags & 1) != 0;
    const int kind = (flags >> 1) & 3;
    c.observer = kind == 0   ? ObserverKind::None
                 : kind == 1 ? ObserverKind::NeverStops
                             : ObserverKind::Stops;
    const bool pixelByPixel = (flags & 8) != 0;
    const int colours = 1 + ((flags >> 4) & 3);
    const int k0 = in.next();
    const int k1 = in.next();
    c.stopAfter = k0 + 256 * (k1 % 8);

    std::uint8_t palette[4][4];
    for (int i = 0; i < colours; ++i)
        for (int j = 0; j < 4; ++j) palette[i][j] = in.next();

    PixelBuffer& p = c.input;
    p = PixelBuffer(width, height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) paintPixel(p, x, y, palette[0]);
    if (pixelByPixel) {
        std::uint8_t packed = 0;
        for (int i = 0; i < width * height; ++i) {
            if (i % 4 == 0) packed = in.next();
            const int index = (packed >> (2 * (i % 4))) & 3;
            paintPixel(p, i % width, i / width, palette[index % colours]);
        }
    }

    // Drawing operations: flat areas, single pixels and the marked region.
    while (!in.atEnd()) {
        const std::uint8_t op = in.next();
        const int a = in.next(), bb = in.next(), cc = in.next(), d = in.next();
        const int x0 = a % width, y0 = bb % height;
        const int x1 = std::min(width, x0 + 1 + cc % width);
        const int y1 = std::min(height, y0 + 1 + d % height);
        const int arg = op >> 3;
        switch (op & 7) {
            case 0:
            case 1:  // a flat rectangle of one palette colour
                for (int y = y0; y < y1; ++y)
                    for (int x = x0; x < x1; ++x) paintPixel(p, x, y, palette[arg % colours]);
                break;
            case 2:  // two single pixels of one colour
                paintPixel(p, x0, y0, palette[arg % colours]);
                paintPixel(p, cc % width, d % height, palette[arg % colours]);
                break;
            case 3:  // a marked rectangle
                for (int y = y0; y < y1; ++y)
                    for (int x = x0; x < x1; ++x) markPixel(p, x, y);
                break;
            case 4: {  // a marked rectangle grown to one picture edge
                int l = x0, r = x1, t = y0, u = y1;
                switch (arg & 3) {
                    case 0:
                        l = 0;
                        break;
                    case 1:
                        r = width;
                        break;
                    case 2:
                        t = 0;
                        break;
                    default:
                        u = height;
                        break;
                }
                for (int y = t; y < u; ++y)
                    for (int x = l; x < r; ++x) markPixel(p, x, y);
                break;
            }
            case 5:  // two marked pixels
                markPixel(p, x0, y0);
                markPixel(p, cc % width, d % height);
                break;
            case 6:  // everything marked, or a full-width row / full-height column
                if (arg % 4 == 0) {
                    for (int y = 0; y < height; ++y)
                        for (int x = 0; x < width; ++x) markPixel(p, x, y);
                } else if (arg % 2 == 0) {
                    for (int x = 0; x < width; ++x) markPixel(p, x, y0);
                } else {
                    for (int y = 0; y < height; ++y) markPixel(p, x0, y);
                }
                break;
            default:  // a one-pixel stroke along a diagonal
                for (int i = 0; i < 1 + cc % side; ++i) {
                    const int x = x0 + ((arg & 1) ? -i : i), y = y0 + i;
                    if (x < 0 || x >= width || y >= height) break;
                    markPixel(p, x, y);
                }
                break;
        }
    }
    // A bad option or buffer instead, each of which the engine must refuse untouched.
    if ((flags & 0xc0) == 0xc0) {
        c.invalid = 1 + radius % 6;
        switch (c.invalid) {
            case 1:
                c.options.radius = 0;
                break;
            case 2:
                c.options.radius = -1 - border;
                break;
            case 3:
                c.options.radius = velmora::kMaxBlockRadius + 1 + border;
                break;
            case 4:
                c.options.scanBorder = -1 - border;
                break;
            case 5:
                c.options.scanBorder = INT_MIN;
                break;
            default:  // the byte count does not match the size
                if (border & 1)
                    p.bytes.pop_back();
                else
                    ++p.width;
                break;
        }
    }
    return c;
}

std::uint64_t hashOf(const PixelBuffer& p) {
    std::uint64_t h = 1469598103934665603ull;
    for (std::uint8_t v : p.bytes) h = (h ^ v) * 1099511628211ull;
    return h;
}

long long countGreen(const PixelBuffer& p) {
    long long n = 0;
    for (std::size_t i = 0; i < std::size_t(p.width) * p.height; ++i) n += isGreen(p, i);
    return n;
}

// True when some block of radius w lies wholly inside the picture and holds no marked pixel.
bool hasWholeKnownBlock(const PixelBuffer& p, int w) {
    for (int y = w; y + w < p.height; ++y)
        for (int x = w; x + w < p.width; ++x) {
            bool ok = true;
            for (int by = y - w; by <= y + w && ok; ++by)
                for (int bx = x - w; bx <= x + w && ok; ++bx)
                    ok = !isGreen(p, std::size_t(by) * p.width + bx);
            if (ok) return true;
        }
    return false;
}

struct PreviewRecord {
    PixelRect rect;
    std::uint64_t hash;
    bool operator==(const PreviewRecord& o) const {
        return rect.x == o.rect.x && rect.y == o.rect.y && rect.width == o.rect.width &&
               rect.height == o.rect.height && hash == o.hash;
    }
};

// Watches one run: checks every call against the input and the calls before it.
class CheckingObserver : public InpaintObserver {
public:
    CheckingObserver(const PixelBuffer& input, const PixelBuffer& target, long long marked,
                     bool stops, long long stopAfter)
        : m_input(input),
          m_target(target),
          m_marked(marked),
          m_stops(stops),
          m_stopAfter(stopAfter),
          m_lastState(input),
          m_pixelsLeft(marked) {}

    bool yield() override {
        ++yields;
        // Five stage yields and one after the preview per step, and at most one step per pixel.
        FUZZ_CHECK(yields <= 6 * m_marked);
        // A stop answered after a preview write is acted on at the next call, no later.
        if (stopRequested) FUZZ_CHECK(++m_yieldsAfterStop <= 1);
        if (m_stops && yields > m_stopAfter && !stopRequested) {
            stopRequested = true;
            yieldAtStop = yields;
        }
        return stopRequested;
    }

    void preview(const PixelView& view, const PixelRect& changed) override {
        FUZZ_CHECK(!stopRequested);  // no step may finish once a stop was asked for
        const int W = m_input.width, H = m_input.height;
        FUZZ_CHECK(view.width == W && view.height == H && view.stride == std::ptrdiff_t(W) * 4);
        FUZZ_CHECK(changed.x >= 0 && changed.y >= 0 && changed.width >= 1 && changed.height >= 1);
        FUZZ_CHECK(changed.x + changed.width <= W && changed.y + changed.height <= H);
        // The caller's own picture is the one brought up to date.
        FUZZ_CHECK(view.bytes == m_target.bytes.data());
        const PixelBuffer& picture = m_target;
        ++previewCount;
        FUZZ_CHECK(previewCount <= stepsSeen + 1 && stepsSeen <= previewCount);
        // Since the last preview only marked pixels inside `changed` may differ.
        for (int y = 0; y < H; ++y)
            for (int x = 0; x < W; ++x) {
                const std::size_t o = picture.offset(x, y);
                if (std::memcmp(&picture.bytes[o], &m_lastState.bytes[o], 4) == 0) continue;
                FUZZ_CHECK(x >= changed.x && x < changed.x + changed.width);
                FUZZ_CHECK(y >= changed.y && y < changed.y + changed.height);
                FUZZ_CHECK(isGreen(m_input, o / 4));
                FUZZ_CHECK(isGreen(m_lastState, o / 4));
            }
        // Every step fills at least one pixel, and the progress count agrees with the picture.
        const long long green = countGreen(picture);
        FUZZ_CHECK(green < m_lastGreen);
        if (previewCount == stepsSeen) FUZZ_CHECK(green == m_pixelsLeft);
        m_lastGreen = green;
        m_lastState = picture;
        previews.push_back({changed, hashOf(picture)});
    }

    void stepFinished(int steps, long long pixelsLeft) override {
        FUZZ_CHECK(!stopRequested);
        FUZZ_CHECK(steps == stepsSeen + 1);
        FUZZ_CHECK(steps <= m_marked);
        FUZZ_CHECK(pixelsLeft >= 0 && pixelsLeft < m_pixelsLeft);
        stepsSeen = steps;
        m_pixelsLeft = pixelsLeft;
        stepLog.push_back(pixelsLeft);
    }

    long long pixelsLeft() const { return m_pixelsLeft; }
    const PixelBuffer& lastState() const { return m_lastState; }

    long long yields = 0;
    bool stopRequested = false;
    long long yieldAtStop = 0;
    int stepsSeen = 0;
    int previewCount = 0;
    std::vector<PreviewRecord> previews;
    std::vector<long long> stepLog;

private:
    const PixelBuffer& m_input;
    const PixelBuffer& m_target;
    long long m_marked;
    bool m_stops;
    long long m_stopAfter;
    PixelBuffer m_lastState;
    long long m_lastGreen = 1LL << 40;
    int m_yieldsAfterStop = 0;
    long long m_pixelsLeft;
};

struct Outcome {
    InpaintStatus status = InpaintStatus::Ok;
    int steps = 0;
    std::string message;
    PixelBuffer picture;
    long long yields = 0;
    std::vector<PreviewRecord> previews;
    std::vector<long long> stepLog;
};

// A refused run: InvalidInput, nothing touched, the observer never called.
void runRefused(const Case& c) {
    PixelBuffer picture = c.input;
    CheckingObserver watcher(c.input, picture, 0, true, 0);
    const InpaintResult r = Inpaint(picture, c.options, &watcher);
    FUZZ_CHECK(r.status == InpaintStatus::InvalidInput);
    FUZZ_CHECK(r.steps == 0 && !r.message.empty());
    FUZZ_CHECK(picture.width == c.input.width && picture.height == c.input.height);
    FUZZ_CHECK(picture.bytes == c.input.bytes);
    FUZZ_CHECK(watcher.yields == 0 && watcher.stepsSeen == 0 && watcher.previewCount == 0);
}

// One run of `c` with every promise about it checked.
Outcome runChecked(const Case& c) {
    const PixelBuffer& input = c.input;
    const long long marked = countGreen(input);
    const bool wholeBlock = hasWholeKnownBlock(input, c.options.radius);

    Outcome out;
    out.picture = input;
    CheckingObserver watcher(input, out.picture, marked, c.observer == ObserverKind::Stops,
                             c.stopAfter);
    InpaintObserver* observer = c.observer == ObserverKind::None ? nullptr : &watcher;
    const InpaintResult r = Inpaint(out.picture, c.options, observer);
    out.status = r.status;
    out.steps = r.steps;
    out.message = r.message;
    out.yields = watcher.yields;
    out.previews = watcher.previews;
    out.stepLog = watcher.stepLog;

    const PixelBuffer& after = out.picture;
    FUZZ_CHECK(after.width == input.width && after.height == input.height && after.isValid());
    FUZZ_CHECK(r.message.empty() == (r.status == InpaintStatus::Ok));
    const bool previewed = c.options.preview && observer != nullptr;
    if (!previewed) FUZZ_CHECK(watcher.previewCount == 0);

    switch (r.status) {
        case InpaintStatus::Ok: {
            if (marked == 0) {
                FUZZ_CHECK(r.steps == 0);
                FUZZ_CHECK(after.bytes == input.bytes);
                break;
            }
            FUZZ_CHECK(wholeBlock);
            FUZZ_CHECK(r.steps >= 1 && r.steps <= marked);
            FUZZ_CHECK(countGreen(after) == 0);
            // Known pixels keep all four bytes; a filled pixel takes all four of a known one.
            std::unordered_set<std::uint32_t> known;
            const std::size_t n = std::size_t(input.width) * input.height;
            for (std::size_t i = 0; i < n; ++i) {
                std::uint32_t v;
                std::memcpy(&v, &input.bytes[i * 4], 4);
                if (!isGreen(input, i)) known.insert(v);
            }
            for (std::size_t i = 0; i < n; ++i) {
                std::uint32_t v;
                std::memcpy(&v, &after.bytes[i * 4], 4);
                if (isGreen(input, i))
                    FUZZ_CHECK(known.count(v) == 1);
                else
                    FUZZ_CHECK(std::memcmp(&after.bytes[i * 4], &input.bytes[i * 4], 4) == 0);
            }
            if (observer) {
                FUZZ_CHECK(watcher.stepsSeen == r.steps);
                FUZZ_CHECK(watcher.pixelsLeft() == 0);
                // Only the untested call after the last preview may have asked to stop.
                if (watcher.stopRequested)
                    FUZZ_CHECK(previewed && watcher.yieldAtStop == watcher.yields);
            }
            if (previewed) {
                FUZZ_CHECK(watcher.previewCount == r.steps);
                FUZZ_CHECK(watcher.lastState().bytes == after.bytes);
            }
            break;
        }
        case InpaintStatus::NoSourceArea:
            FUZZ_CHECK(marked > 0 && !wholeBlock);
            FUZZ_CHECK(r.steps == 0);
            FUZZ_CHECK(after.bytes == input.bytes);
            FUZZ_CHECK(watcher.stepsSeen == 0 && watcher.previewCount == 0);
            break;
        case InpaintStatus::Stopped:
            FUZZ_CHECK(c.observer == ObserverKind::Stops && watcher.stopRequested);
            FUZZ_CHECK(r.steps == 0);
            if (previewed)
                FUZZ_CHECK(after.bytes == watcher.lastState().bytes);  // the last preview state
            else
                FUZZ_CHECK(after.bytes == input.bytes);
            break;
        default:  // every decoded case is valid and tiny
            broken("status InvalidInput or OutOfMemory", __LINE__);
    }
    // No whole known block: nothing to copy from, whatever the observer says.
    if (marked > 0 && !wholeBlock)
        FUZZ_CHECK(r.status == InpaintStatus::NoSourceArea || r.status == InpaintStatus::Stopped);
    return out;
}

bool sameOutcome(const Outcome& a, const Outcome& b) {
    return a.status == b.status && a.steps == b.steps && a.message == b.message &&
           a.picture.bytes == b.picture.bytes && a.yields == b.yields && a.previews == b.previews &&
           a.stepLog == b.stepLog;
}

std::string describe(const Case& c) {
    const char* kinds[] = {"none", "never stops", "stops"};
    char text[256];
    std::snprintf(text, sizeof text,
                  "%dx%d marked %lld, radius %d, scanBorder %d, preview %s, observer %s, "
                  "stop after %lld yields",
                  c.input.width, c.input.height, c.input.isValid() ? countGreen(c.input) : -1,
                  c.options.radius, c.options.scanBorder, c.options.preview ? "on" : "off",
                  kinds[int(c.observer)], c.stopAfter);
    return text;
}

}  // namespace

std::string CheckInput(const std::uint8_t* data, std::size_t size) {
    // Every check below counts yields, so none may come from the clock.
    velmora::yieldOnlyAfterStages(true);
    const Case c = decode(data, size);
    g_case = describe(c);
    if (c.invalid != 0) {
        g_case += ", bad option or buffer " + std::to_string(c.invalid);
        runRefused(c);
        return g_case + " -> InvalidInput";
    }

    const Outcome first = runChecked(c);
    // The same input gives the same run, call for call.
    const Outcome again = runChecked(c);
    FUZZ_CHECK(sameOutcome(first, again));

    // A scan border past every edge searches the whole picture, as one of exactly
    // the picture's side does.
    const int side = std::max(c.input.width, c.input.height);
    if (c.options.scanBorder > side) {
        Case clipped = c;
        clipped.options.scanBorder = side;
        g_case = describe(clipped) + " (compared with: " + describe(c) + ")";
        const Outcome same = runChecked(clipped);
        g_case = describe(c);
        FUZZ_CHECK(sameOutcome(first, same));
    }

    // The same picture with preview on and an observer that never stops: watching
    // the fill does not change it, and a stopped watched run is a prefix of it.
    Case watched = c;
    watched.options.preview = true;
    watched.observer = ObserverKind::NeverStops;
    g_case = describe(watched) + " (reference for: " + describe(c) + ")";
    const Outcome full = runChecked(watched);
    g_case = describe(c);
    if (first.status != InpaintStatus::Stopped) {
        FUZZ_CHECK(first.status == full.status && first.steps == full.steps);
        FUZZ_CHECK(first.picture.bytes == full.picture.bytes);
        if (c.observer != ObserverKind::None) FUZZ_CHECK(first.stepLog == full.stepLog);
    } else {
        FUZZ_CHECK(first.stepLog.size() <= full.stepLog.size());
        FUZZ_CHECK(std::equal(first.stepLog.begin(), first.stepLog.end(), full.stepLog.begin()));
        if (c.options.preview) {
            FUZZ_CHECK(first.previews.size() <= full.previews.size());
            FUZZ_CHECK(
                std::equal(first.previews.begin(), first.previews.end(), full.previews.begin()));
        }
    }
    const char* statuses[] = {"Ok", "Stopped", "NoSourceArea", "InvalidInput", "OutOfMemory"};
    return g_case + " -> " + statuses[int(first.status)] + ", " + std::to_string(first.steps) +
           " steps";
}

}  // namespace velmora_fuzz
