#include "gif_writer.h"

#include <gif_lib.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

namespace velmora::convert {
namespace {

struct Rgb {
    int r, g, b;
};

// Wu's colour quantiser ("Efficient Statistical Computations for Optimal Color
// Quantization", Graphics Gems II): boxes of a 32-level histogram, each cut where
// it lowers the summed squared error most, the worst box first.
class WuQuantiser {
public:
    explicit WuQuantiser(const RgbPicture& picture) {
        for (int y = 0; y < picture.height; ++y) {
            const uint8_t* p = picture.row(y);
            for (int x = 0; x < picture.width; ++x, p += 3) {
                const int i = at((p[0] >> 3) + 1, (p[1] >> 3) + 1, (p[2] >> 3) + 1);
                m_weight[i] += 1;
                m_red[i] += p[0];
                m_green[i] += p[1];
                m_blue[i] += p[2];
                m_squares[i] += double(p[0] * p[0] + p[1] * p[1] + p[2] * p[2]);
            }
        }
        accumulate();
    }

    std::vector<Rgb> palette(int colours) {
        std::vector<Box> boxes(static_cast<size_t>(colours));
        std::vector<double> spread(static_cast<size_t>(colours), 0.0);
        boxes[0] = {0, 32, 0, 32, 0, 32};
        int count = 1, next = 0;
        while (count < colours) {
            if (cut(boxes[size_t(next)], boxes[size_t(count)])) {
                spread[size_t(next)] = variance(boxes[size_t(next)]);
                spread[size_t(count)] = variance(boxes[size_t(count)]);
                ++count;
            } else {
                spread[size_t(next)] = 0.0;
            }
            next = 0;
            for (int k = 1; k < count; ++k)
                if (spread[size_t(k)] > spread[size_t(next)]) next = k;
            if (spread[size_t(next)] <= 0.0) break;
        }
        std::vector<Rgb> result;
        for (int k = 0; k < count; ++k) {
            const Box& b = boxes[size_t(k)];
            const double w = volume(b, m_weight);
            if (w > 0)
                result.push_back({int(volume(b, m_red) / w + 0.5),
                                  int(volume(b, m_green) / w + 0.5),
                                  int(volume(b, m_blue) / w + 0.5)});
        }
        return result;
    }

private:
    static constexpr int kSide = 33;
    static int at(int r, int g, int b) { return (r * kSide + g) * kSide + b; }

    struct Box {
        int r0, r1, g0, g1, b0, b1;  // lower bounds exclusive, upper inclusive
    };
    using Table = std::vector<double>;
    Table m_weight = Table(kSide * kSide * kSide), m_red = m_weight, m_green = m_weight,
          m_blue = m_weight, m_squares = m_weight;

    // Turns the histogram into cumulative moments, so any box sums in eight lookups.
    void accumulate() {
        for (int r = 1; r < kSide; ++r) {
            std::array<double, kSide> area{}, areaR{}, areaG{}, areaB{}, area2{};
            for (int g = 1; g < kSide; ++g) {
                double line = 0, lineR = 0, lineG = 0, lineB = 0, line2 = 0;
                for (int b = 1; b < kSide; ++b) {
                    const int i = at(r, g, b), j = at(r - 1, g, b);
                    line += m_weight[i];
                    lineR += m_red[i];
                    lineG += m_green[i];
                    lineB += m_blue[i];
                    line2 += m_squares[i];
                    area[b] += line;
                    areaR[b] += lineR;
                    areaG[b] += lineG;
                    areaB[b] += lineB;
                    area2[b] += line2;
                    m_weight[i] = m_weight[j] + area[b];
                    m_red[i] = m_red[j] + areaR[b];
                    m_green[i] = m_green[j] + areaG[b];
                    m_blue[i] = m_blue[j] + areaB[b];
                    m_squares[i] = m_squares[j] + area2[b];
                }
            }
        }
    }

    static double volume(const Box& c, const Table& m) {
        return m[at(c.r1, c.g1, c.b1)] - m[at(c.r1, c.g1, c.b0)] - m[at(c.r1, c.g0, c.b1)] +
               m[at(c.r1, c.g0, c.b0)] - m[at(c.r0, c.g1, c.b1)] + m[at(c.r0, c.g1, c.b0)] +
               m[at(c.r0, c.g0, c.b1)] - m[at(c.r0, c.g0, c.b0)];
    }
    // The part of a box's sum that does not depend on where it is cut along axis.
    static double bottom(const Box& c, int axis, const Table& m) {
        switch (axis) {
            case 0:
                return -m[at(c.r0, c.g1, c.b1)] + m[at(c.r0, c.g1, c.b0)] +
                       m[at(c.r0, c.g0, c.b1)] - m[at(c.r0, c.g0, c.b0)];
            case 1:
                return -m[at(c.r1, c.g0, c.b1)] + m[at(c.r1, c.g0, c.b0)] +
                       m[at(c.r0, c.g0, c.b1)] - m[at(c.r0, c.g0, c.b0)];
            default:
                return -m[at(c.r1, c.g1, c.b0)] + m[at(c.r1, c.g0, c.b0)] +
                       m[at(c.r0, c.g1, c.b0)] - m[at(c.r0, c.g0, c.b0)];
        }
    }
    static double top(const Box& c, int axis, int pos, const Table& m) {
        switch (axis) {
            case 0:
                return m[at(pos, c.g1, c.b1)] - m[at(pos, c.g1, c.b0)] - m[at(pos, c.g0, c.b1)] +
                       m[at(pos, c.g0, c.b0)];
            case 1:
                return m[at(c.r1, pos, c.b1)] - m[at(c.r1, pos, c.b0)] - m[at(c.r0, pos, c.b1)] +
                       m[at(c.r0, pos, c.b0)];
            default:
                return m[at(c.r1, c.g1, pos)] - m[at(c.r1, c.g0, pos)] - m[at(c.r0, c.g1, pos)] +
                       m[at(c.r0, c.g0, pos)];
        }
    }
    double variance(const Box& c) const {
        const double w = volume(c, m_weight);
        if (w <= 1) return 0.0;
        const double r = volume(c, m_red), g = volume(c, m_green), b = volume(c, m_blue);
        return volume(c, m_squares) - (r * r + g * g + b * b) / w;
    }
    double maximise(const Box& c, int axis, int first, int last, int* cutAt, double wr, double wg,
                    double wb, double ww) const {
        const double br = bottom(c, axis, m_red), bg = bottom(c, axis, m_green),
                     bb = bottom(c, axis, m_blue), bw = bottom(c, axis, m_weight);
        double best = 0.0;
        *cutAt = -1;
        for (int i = first; i < last; ++i) {
            double hr = br + top(c, axis, i, m_red), hg = bg + top(c, axis, i, m_green),
                   hb = bb + top(c, axis, i, m_blue);
            double hw = bw + top(c, axis, i, m_weight);
            if (hw <= 0) continue;
            double score = (hr * hr + hg * hg + hb * hb) / hw;
            hr = wr - hr;
            hg = wg - hg;
            hb = wb - hb;
            hw = ww - hw;
            if (hw <= 0) continue;
            score += (hr * hr + hg * hg + hb * hb) / hw;
            if (score > best) {
                best = score;
                *cutAt = i;
            }
        }
        return best;
    }
    bool cut(Box& a, Box& b) const {
        const double wr = volume(a, m_red), wg = volume(a, m_green), wb = volume(a, m_blue),
                     ww = volume(a, m_weight);
        int cr, cg, cb;
        const double maxR = maximise(a, 0, a.r0 + 1, a.r1, &cr, wr, wg, wb, ww);
        const double maxG = maximise(a, 1, a.g0 + 1, a.g1, &cg, wr, wg, wb, ww);
        const double maxB = maximise(a, 2, a.b0 + 1, a.b1, &cb, wr, wg, wb, ww);
        b = a;
        if (maxR >= maxG && maxR >= maxB) {
            if (cr < 0) return false;
            b.r0 = a.r1 = cr;
        } else if (maxG >= maxR && maxG >= maxB) {
            b.g0 = a.g1 = cg;
        } else {
            b.b0 = a.b1 = cb;
        }
        return true;
    }
};

// The nearest palette entry (plain squared distance), remembered per exact colour.
class NearestColour {
public:
    explicit NearestColour(const std::vector<Rgb>& palette) {
        // Zeroed by the system, in large pages: lookups land all over its 32 MB.
        if (!m_memory.allocate(sizeof(uint16_t) << 24, true)) throw std::bad_alloc();
        m_memo = reinterpret_cast<uint16_t*>(m_memory.get());
        for (const Rgb& c : palette) {
            m_red.push_back(c.r);
            m_green.push_back(c.g);
            m_blue.push_back(c.b);
        }
    }
    int operator()(int r, int g, int b) {
        uint16_t& slot = m_memo[size_t(r) << 16 | size_t(g) << 8 | size_t(b)];
        if (slot == 0) slot = uint16_t(search(r, g, b) + 1);
        return slot - 1;
    }
    void remember(int r, int g, int b, int index) {
        m_memo[size_t(r) << 16 | size_t(g) << 8 | size_t(b)] = uint16_t(index + 1);
    }

private:
    int search(int r, int g, int b) const {
        int best = 0, bestDist = 1 << 30;
        for (size_t i = 0; i < m_red.size(); ++i) {
            const int dr = m_red[i] - r, dg = m_green[i] - g, db = m_blue[i] - b;
            const int d = dr * dr + dg * dg + db * db;
            if (d < bestDist) {
                bestDist = d;
                best = int(i);
            }
        }
        return best;
    }
    PixelMemory m_memory;
    uint16_t* m_memo = nullptr;
    std::vector<int> m_red, m_green, m_blue;
};

// Lloyd (k-means) passes over a 64-level histogram: moves each entry to the mean of
// the colours nearest to it, which the box cuts alone leave off-centre.
void refine(const RgbPicture& picture, std::vector<Rgb>& palette, int passes) {
    constexpr int kLevels = 64;
    struct Cell {
        double n = 0, r = 0, g = 0, b = 0;
    };
    std::vector<Cell> cells(size_t(kLevels) * kLevels * kLevels);
    for (int y = 0; y < picture.height; ++y) {
        const uint8_t* p = picture.row(y);
        for (int x = 0; x < picture.width; ++x, p += 3) {
            Cell& c = cells[size_t(p[0] >> 2) << 12 | size_t(p[1] >> 2) << 6 | size_t(p[2] >> 2)];
            c.n += 1;
            c.r += p[0];
            c.g += p[1];
            c.b += p[2];
        }
    }
    std::vector<Cell> used;
    for (const Cell& c : cells)
        if (c.n > 0) used.push_back({c.n, c.r / c.n, c.g / c.n, c.b / c.n});
    const size_t k = palette.size();
    std::vector<double> pr(k), pg(k), pb(k);
    for (size_t i = 0; i < k; ++i) {
        pr[i] = palette[i].r;
        pg[i] = palette[i].g;
        pb[i] = palette[i].b;
    }
    for (int pass = 0; pass < passes; ++pass) {
        std::vector<Cell> sums(k);
        for (const Cell& c : used) {
            size_t best = 0;
            double bestDist = 1e30;
            for (size_t i = 0; i < k; ++i) {
                const double dr = pr[i] - c.r, dg = pg[i] - c.g, db = pb[i] - c.b;
                const double d = dr * dr + dg * dg + db * db;
                if (d < bestDist) {
                    bestDist = d;
                    best = i;
                }
            }
            sums[best].n += c.n;
            sums[best].r += c.r * c.n;
            sums[best].g += c.g * c.n;
            sums[best].b += c.b * c.n;
        }
        for (size_t i = 0; i < k; ++i)
            if (sums[i].n > 0) {
                pr[i] = sums[i].r / sums[i].n;
                pg[i] = sums[i].g / sums[i].n;
                pb[i] = sums[i].b / sums[i].n;
            }
    }
    for (size_t i = 0; i < k; ++i)
        palette[i] = {std::clamp(int(pr[i] + 0.5), 0, 255), std::clamp(int(pg[i] + 0.5), 0, 255),
                      std::clamp(int(pb[i] + 0.5), 0, 255)};
}

// The picture's distinct colours in ascending order, or nothing when there are more than limit.
std::vector<Rgb> fewColours(const RgbPicture& picture, int limit) {
    std::vector<uint64_t> seen((size_t(1) << 24) / 64, 0);
    int count = 0;
    for (int y = 0; y < picture.height; ++y) {
        const uint8_t* p = picture.row(y);
        for (int x = 0; x < picture.width; ++x, p += 3) {
            const uint32_t c = uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2];
            uint64_t& word = seen[c >> 6];
            const uint64_t bit = uint64_t(1) << (c & 63);
            if (!(word & bit)) {
                word |= bit;
                if (++count > limit) return {};
            }
        }
    }
    std::vector<Rgb> colours;
    for (uint32_t c = 0; c < (1u << 24); ++c)
        if (seen[c >> 6] >> (c & 63) & 1)
            colours.push_back({int(c >> 16), int(c >> 8 & 0xff), int(c & 0xff)});
    return colours;
}

// Floyd-Steinberg error diffusion, serpentine: each row runs the other way, so the
// error does not drift to one side. Errors are kept in sixteenths, integers only,
// so every run gives the same file.
void diffuse(const RgbPicture& picture, NearestColour& nearest, const std::vector<Rgb>& palette,
             GifPixelType* indices) {
    const int w = picture.width;
    std::vector<int> errA(size_t(w + 2) * 3, 0), errB(errA.size(), 0);
    int *cur = errA.data(), *next = errB.data();
    for (int y = 0; y < picture.height; ++y) {
        const uint8_t* row = picture.row(y);
        GifPixelType* out = indices + size_t(y) * w;
        const bool forward = (y & 1) == 0;
        const int step = forward ? 1 : -1;
        for (int i = 0; i < w; ++i) {
            const int x = forward ? i : w - 1 - i;
            int* e = cur + (x + 1) * 3;
            int v[3];
            for (int ch = 0; ch < 3; ++ch)
                v[ch] = std::clamp(row[x * 3 + ch] + ((e[ch] + 8) >> 4), 0, 255);
            const int q = nearest(v[0], v[1], v[2]);
            out[x] = GifPixelType(q);
            const int err[3] = {v[0] - palette[size_t(q)].r, v[1] - palette[size_t(q)].g,
                                v[2] - palette[size_t(q)].b};
            int* ahead = cur + (x + 1 + step) * 3;
            int* below = next + (x + 1) * 3;
            for (int ch = 0; ch < 3; ++ch) {
                ahead[ch] += err[ch] * 7;
                below[ch - 3 * step] += err[ch] * 3;
                below[ch] += err[ch] * 5;
                below[ch + 3 * step] += err[ch];
            }
        }
        std::swap(cur, next);
        std::fill(next, next + (w + 2) * 3, 0);
    }
}

// errorNumber is errno as the failing call left it: a refused write says why.
std::string gifError(int code, int errorNumber = 0) {
    if ((code == E_GIF_ERR_WRITE_FAILED || code == E_GIF_ERR_DISK_IS_FULL ||
         code == E_GIF_ERR_CLOSE_FAILED) &&
        errorNumber != 0)
        return std::strerror(errorNumber);
    const char* msg = GifErrorString(code);
    return msg ? msg : "unknown GIF error";
}

}  // namespace

std::string writeGif(int fd, const RgbPicture& picture, int maxColors, bool dither) {
    const int w = picture.width, h = picture.height;
    std::unique_ptr<GifPixelType[]> indices(new GifPixelType[size_t(w) * size_t(h)]);

    // Few enough colours: keep them exactly, so the GIF is lossless and dithering has nothing to
    // do.
    std::vector<Rgb> palette = fewColours(picture, maxColors);
    const bool exact = !palette.empty();
    if (!exact) {
        WuQuantiser wu(picture);
        palette = wu.palette(maxColors);
        refine(picture, palette, 4);
    }
    NearestColour nearest(palette);
    if (exact)
        for (size_t i = 0; i < palette.size(); ++i)
            nearest.remember(palette[i].r, palette[i].g, palette[i].b, int(i));
    if (dither && !exact) {
        diffuse(picture, nearest, palette, indices.get());
    } else {
        for (int y = 0; y < h; ++y) {
            const uint8_t* p = picture.row(y);
            GifPixelType* out = indices.get() + size_t(y) * w;
            for (int x = 0; x < w; ++x, p += 3) out[x] = GifPixelType(nearest(p[0], p[1], p[2]));
        }
    }

    // The colour table must hold a power of two entries, at least two.
    int bits = 1;
    while ((1 << bits) < int(palette.size())) ++bits;
    std::vector<GifColorType> table(size_t(1) << bits, GifColorType{0, 0, 0});
    for (size_t i = 0; i < palette.size(); ++i)
        table[i] = {GifByteType(palette[i].r), GifByteType(palette[i].g),
                    GifByteType(palette[i].b)};

    int err = 0;
    GifFileType* gif = EGifOpenFileHandle(fd, &err);
    if (!gif) {
        ::close(fd);
        return gifError(err);
    }
    ColorMapObject* map = GifMakeMapObject(int(table.size()), table.data());
    auto fail = [&]() {
        std::string msg = gifError(gif->Error, errno);
        GifFreeMapObject(map);
        int closeErr = 0;
        EGifCloseFile(gif, &closeErr);
        return msg;
    };
    if (!map) {
        int closeErr = 0;
        EGifCloseFile(gif, &closeErr);
        return "out of memory";
    }
    EGifSetGifVersion(gif, false);
    if (EGifPutScreenDesc(gif, w, h, bits, 0, map) == GIF_ERROR) return fail();
    if (EGifPutImageDesc(gif, 0, 0, w, h, false, nullptr) == GIF_ERROR) return fail();
    for (int y = 0; y < h; ++y)
        if (EGifPutLine(gif, indices.get() + size_t(y) * w, w) == GIF_ERROR) return fail();
    GifFreeMapObject(map);
    errno = 0;
    if (EGifCloseFile(gif, &err) == GIF_ERROR) return gifError(err, errno);
    return {};
}

}  // namespace velmora::convert
