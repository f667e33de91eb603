#include "gif_writer.h"

#include <gif_lib.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <unordered_map>
#include <vector>

namespace velmora::convert {
namespace {

struct Rgb {
    int r, g, b;
};

Rgb unpack(uint32_t c) { return {int((c >> 16) & 0xff), int((c >> 8) & 0xff), int(c & 0xff)}; }

// One box of the median cut: a run of distinct colours with their pixel counts.
struct Box {
    size_t begin, end;
};

// Median cut over the distinct colours, weighted by how often each occurs.
std::vector<Rgb> medianCut(std::vector<std::pair<uint32_t, uint32_t>> colours, int maxColors)
{
    std::vector<Box> boxes{{0, colours.size()}};
    auto rangeOf = [&](const Box &b, int &channel) {
        int lo[3] = {255, 255, 255}, hi[3] = {0, 0, 0};
        for (size_t i = b.begin; i < b.end; ++i) {
            Rgb c = unpack(colours[i].first);
            int v[3] = {c.r, c.g, c.b};
            for (int k = 0; k < 3; ++k) {
                lo[k] = std::min(lo[k], v[k]);
                hi[k] = std::max(hi[k], v[k]);
            }
        }
        channel = 0;
        for (int k = 1; k < 3; ++k)
            if (hi[k] - lo[k] > hi[channel] - lo[channel])
                channel = k;
        return hi[channel] - lo[channel];
    };
    while (int(boxes.size()) < maxColors) {
        // Split the box with the widest channel range; ties go to the earliest box.
        int best = -1, bestRange = 0, bestChannel = 0;
        for (size_t i = 0; i < boxes.size(); ++i) {
            if (boxes[i].end - boxes[i].begin < 2)
                continue;
            int ch;
            int range = rangeOf(boxes[i], ch);
            if (range > bestRange) {
                best = int(i);
                bestRange = range;
                bestChannel = ch;
            }
        }
        if (best < 0)
            break;
        Box b = boxes[best];
        int shift = 16 - 8 * bestChannel;
        std::sort(colours.begin() + b.begin, colours.begin() + b.end, [&](auto &x, auto &y) {
            uint32_t a = (x.first >> shift) & 0xff, c = (y.first >> shift) & 0xff;
            return a != c ? a < c : x.first < y.first;
        });
        uint64_t total = 0;
        for (size_t i = b.begin; i < b.end; ++i)
            total += colours[i].second;
        uint64_t acc = 0;
        size_t mid = b.begin;
        while (mid < b.end - 1 && acc + colours[mid].second <= total / 2)
            acc += colours[mid++].second;
        mid = std::clamp(mid, b.begin + 1, b.end - 1);
        boxes[best] = {b.begin, mid};
        boxes.push_back({mid, b.end});
    }
    std::vector<Rgb> palette;
    for (const Box &b : boxes) {
        uint64_t sum[3] = {0, 0, 0}, n = 0;
        for (size_t i = b.begin; i < b.end; ++i) {
            Rgb c = unpack(colours[i].first);
            uint64_t w = colours[i].second;
            sum[0] += c.r * w;
            sum[1] += c.g * w;
            sum[2] += c.b * w;
            n += w;
        }
        palette.push_back({int((sum[0] + n / 2) / n), int((sum[1] + n / 2) / n), int((sum[2] + n / 2) / n)});
    }
    return palette;
}

int nearest(const std::vector<Rgb> &palette, int r, int g, int b)
{
    int best = 0, bestDist = 1 << 30;
    for (size_t i = 0; i < palette.size(); ++i) {
        int dr = palette[i].r - r, dg = palette[i].g - g, db = palette[i].b - b;
        int d = 2 * dr * dr + 4 * dg * dg + 3 * db * db;
        if (d < bestDist) {
            bestDist = d;
            best = int(i);
        }
    }
    return best;
}

constexpr std::array<std::array<int, 8>, 8> kBayer = {{
    {0, 32, 8, 40, 2, 34, 10, 42},
    {48, 16, 56, 24, 50, 18, 58, 26},
    {12, 44, 4, 36, 14, 46, 6, 38},
    {60, 28, 52, 20, 62, 30, 54, 22},
    {3, 35, 11, 43, 1, 33, 9, 41},
    {51, 19, 59, 27, 49, 17, 57, 25},
    {15, 47, 7, 39, 13, 45, 5, 37},
    {63, 31, 55, 23, 61, 29, 53, 21},
}};

QString gifError(int code)
{
    const char *msg = GifErrorString(code);
    return QString::fromUtf8(msg ? msg : "unknown GIF error");
}

} // namespace

QString writeGif(const QImage &source, int fd, int maxColors, bool dither)
{
    const QImage img = source.convertToFormat(QImage::Format_RGB32);
    const int w = img.width(), h = img.height();

    std::unordered_map<uint32_t, uint32_t> counts;
    for (int y = 0; y < h; ++y) {
        auto *line = reinterpret_cast<const uint32_t *>(img.constScanLine(y));
        for (int x = 0; x < w; ++x)
            ++counts[line[x] & 0xffffff];
    }
    std::vector<std::pair<uint32_t, uint32_t>> colours(counts.begin(), counts.end());
    std::sort(colours.begin(), colours.end()); // hash order is not stable; output must be

    // Few enough colours: keep them exactly, so the GIF is lossless and dithering has nothing to do.
    const bool exact = int(colours.size()) <= maxColors;
    std::vector<Rgb> palette;
    if (exact) {
        for (auto &c : colours)
            palette.push_back(unpack(c.first));
    } else {
        palette = medianCut(colours, maxColors);
        dither = dither && palette.size() > 1;
    }
    if (palette.empty())
        palette.push_back({0, 0, 0});

    // The colour table must hold a power of two entries, at least two.
    int bits = 1;
    while ((1 << bits) < int(palette.size()))
        ++bits;
    std::vector<GifColorType> table(size_t(1) << bits, GifColorType{0, 0, 0});
    for (size_t i = 0; i < palette.size(); ++i)
        table[i] = {GifByteType(palette[i].r), GifByteType(palette[i].g), GifByteType(palette[i].b)};

    // Dither strength follows the palette's coarseness: about half a quantisation step, enough to break up bands without visible noise.
    const double step = 128.0 / std::cbrt(double(palette.size()));

    std::unordered_map<uint32_t, uint8_t> cache;
    std::unordered_map<uint32_t, uint8_t> exactIndex;
    if (exact)
        for (size_t i = 0; i < colours.size(); ++i)
            exactIndex[colours[i].first] = uint8_t(i);

    std::vector<GifPixelType> indices(size_t(w) * h);
    for (int y = 0; y < h; ++y) {
        auto *line = reinterpret_cast<const uint32_t *>(img.constScanLine(y));
        for (int x = 0; x < w; ++x) {
            uint32_t c = line[x] & 0xffffff;
            uint8_t idx;
            if (exact) {
                idx = exactIndex[c];
            } else {
                Rgb p = unpack(c);
                if (dither) {
                    int off = int(std::lround((kBayer[y & 7][x & 7] + 0.5) / 64.0 * step - step / 2));
                    p.r = std::clamp(p.r + off, 0, 255);
                    p.g = std::clamp(p.g + off, 0, 255);
                    p.b = std::clamp(p.b + off, 0, 255);
                }
                uint32_t key = uint32_t(p.r) << 16 | uint32_t(p.g) << 8 | uint32_t(p.b);
                auto it = cache.find(key);
                if (it == cache.end())
                    it = cache.emplace(key, uint8_t(nearest(palette, p.r, p.g, p.b))).first;
                idx = it->second;
            }
            indices[size_t(y) * w + x] = idx;
        }
    }

    int err = 0;
    GifFileType *gif = EGifOpenFileHandle(fd, &err);
    if (!gif) {
        ::close(fd);
        return gifError(err);
    }
    ColorMapObject *map = GifMakeMapObject(int(table.size()), table.data());
    auto fail = [&]() {
        QString msg = gifError(gif->Error);
        GifFreeMapObject(map);
        int closeErr = 0;
        EGifCloseFile(gif, &closeErr);
        return msg;
    };
    if (!map) {
        int closeErr = 0;
        EGifCloseFile(gif, &closeErr);
        return QStringLiteral("out of memory");
    }
    EGifSetGifVersion(gif, false);
    if (EGifPutScreenDesc(gif, w, h, bits, 0, map) == GIF_ERROR)
        return fail();
    if (EGifPutImageDesc(gif, 0, 0, w, h, false, nullptr) == GIF_ERROR)
        return fail();
    for (int y = 0; y < h; ++y)
        if (EGifPutLine(gif, indices.data() + size_t(y) * w, w) == GIF_ERROR)
            return fail();
    GifFreeMapObject(map);
    if (EGifCloseFile(gif, &err) == GIF_ERROR)
        return gifError(err);
    return {};
}

} // namespace velmora::convert
