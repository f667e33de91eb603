#include "gif_palette.h"

#include <algorithm>
#include <array>
#include <unordered_map>

namespace velmora {

namespace {

struct Box {
    std::vector<QRgb> colours;
};

int channel(QRgb c, int which) { return which == 0 ? qRed(c) : which == 1 ? qGreen(c) : qBlue(c); }

// Splits the box with the widest channel at its median until there are enough boxes.
std::vector<QRgb> medianCut(std::vector<QRgb> colours, int maxColors) {
    std::vector<Box> boxes{Box{std::move(colours)}};
    while (int(boxes.size()) < maxColors) {
        int best = -1, bestRange = 0, bestChannel = 0;
        for (int b = 0; b < int(boxes.size()); ++b) {
            if (boxes[b].colours.size() < 2) continue;
            for (int ch = 0; ch < 3; ++ch) {
                int lo = 255, hi = 0;
                for (QRgb c : boxes[b].colours) {
                    lo = std::min(lo, channel(c, ch));
                    hi = std::max(hi, channel(c, ch));
                }
                if (hi - lo > bestRange) {
                    bestRange = hi - lo;
                    best = b;
                    bestChannel = ch;
                }
            }
        }
        if (best < 0) break;
        auto& v = boxes[best].colours;
        std::sort(v.begin(), v.end(), [&](QRgb a, QRgb b) {
            return channel(a, bestChannel) != channel(b, bestChannel)
                       ? channel(a, bestChannel) < channel(b, bestChannel)
                       : a < b;
        });
        Box upper{std::vector<QRgb>(v.begin() + v.size() / 2, v.end())};
        v.resize(v.size() / 2);
        boxes.push_back(std::move(upper));
    }
    std::vector<QRgb> palette;
    for (const Box& box : boxes) {
        long long r = 0, g = 0, b = 0;
        for (QRgb c : box.colours) {
            r += qRed(c);
            g += qGreen(c);
            b += qBlue(c);
        }
        const long long n = std::max<long long>(1, box.colours.size());
        palette.push_back(qRgb(int((r + n / 2) / n), int((g + n / 2) / n), int((b + n / 2) / n)));
    }
    return palette;
}

int nearest(const std::vector<QRgb>& palette, int r, int g, int b) {
    int best = 0, bestDistance = 1 << 30;
    for (int i = 0; i < int(palette.size()); ++i) {
        const int dr = qRed(palette[i]) - r, dg = qGreen(palette[i]) - g, db = qBlue(palette[i]) - b;
        const int d = dr * dr + dg * dg + db * db;
        if (d < bestDistance) {
            bestDistance = d;
            best = i;
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

}  // namespace

IndexedPicture quantize(const QImage& rgb, int maxColors, bool dither) {
    IndexedPicture out;
    const int w = rgb.width(), h = rgb.height();
    out.indices.resize(size_t(w) * h);
    std::unordered_map<QRgb, int> exact;
    std::vector<QRgb> distinct;
    for (int y = 0; y < h; ++y) {
        const QRgb* line = reinterpret_cast<const QRgb*>(rgb.constScanLine(y));
        for (int x = 0; x < w; ++x) {
            const QRgb c = line[x] | 0xff000000u;
            if (exact.emplace(c, int(distinct.size())).second) distinct.push_back(c);
        }
    }
    if (int(distinct.size()) <= maxColors) {
        out.palette = distinct;
        for (int y = 0; y < h; ++y) {
            const QRgb* line = reinterpret_cast<const QRgb*>(rgb.constScanLine(y));
            for (int x = 0; x < w; ++x) out.indices[size_t(y) * w + x] = std::uint8_t(exact[line[x] | 0xff000000u]);
        }
        if (out.palette.empty()) out.palette.push_back(qRgb(0, 0, 0));
        return out;
    }
    out.palette = medianCut(distinct, maxColors);
    // Spread of the Bayer offset: about half the typical palette step.
    const int spread = dither ? 32 : 0;
    std::unordered_map<QRgb, int> cache;
    for (int y = 0; y < h; ++y) {
        const QRgb* line = reinterpret_cast<const QRgb*>(rgb.constScanLine(y));
        for (int x = 0; x < w; ++x) {
            const int offset = spread * (kBayer[y & 7][x & 7] - 32) / 64;
            const int r = std::clamp(qRed(line[x]) + offset, 0, 255);
            const int g = std::clamp(qGreen(line[x]) + offset, 0, 255);
            const int b = std::clamp(qBlue(line[x]) + offset, 0, 255);
            const QRgb key = qRgb(r, g, b);
            auto it = cache.find(key);
            if (it == cache.end()) it = cache.emplace(key, nearest(out.palette, r, g, b)).first;
            out.indices[size_t(y) * w + x] = std::uint8_t(it->second);
        }
    }
    return out;
}

}  // namespace velmora
