#include "bmp_reader.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>

namespace velmora::convert {
namespace {

uint32_t le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
uint16_t le16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }

// One colour channel packed in a 16- or 32-bit pixel, scaled to 0..255.
struct Channel {
    uint32_t mask = 0;
    int shift = 0;
    int bits = 0;

    explicit Channel(uint32_t m = 0) : mask(m) {
        if (m) {
            shift = std::countr_zero(m);
            bits = std::min(std::popcount(m >> shift), 32);
        }
    }
    uint8_t operator()(uint32_t pixel) const {
        if (!mask) return 0;
        const uint32_t v = (pixel & mask) >> shift;
        if (bits >= 8) return uint8_t(v >> (bits - 8));
        return uint8_t((v * 255 + ((1u << bits) - 1) / 2) / ((1u << bits) - 1));
    }
};

BmpRead refuse(BmpRead kind, std::string* error, const char* why) {
    *error = why;
    return kind;
}

}  // namespace

BmpRead readBmp(const uint8_t* data, size_t size, int64_t maxPixels, RgbPicture* out,
                std::string* error) {
    *out = RgbPicture{};
    if (size < 2 || data[0] != 'B' || data[1] != 'M')
        return refuse(BmpRead::Unsupported, error, "not a BMP file");
    if (size < 26) return refuse(BmpRead::Invalid, error, "the BMP header is cut short");
    const uint64_t pixelOffset = le32(data + 10);
    const uint32_t headerSize = le32(data + 14);
    if (headerSize < 12 || 14 + uint64_t(headerSize) > size)
        return refuse(BmpRead::Invalid, error, "the BMP header is cut short");
    const uint8_t* h = data + 14;

    int64_t width, height;
    int bits;
    uint32_t compression = 0, coloursUsed = 0;
    bool core = headerSize < 16;  // the old OS/2 header: 16-bit sizes, three-byte palette entries
    if (core) {
        width = le16(h + 4);
        height = le16(h + 6);
        bits = le16(h + 10);
    } else {
        if (headerSize < 40) return refuse(BmpRead::Unsupported, error, "unusual BMP header");
        width = int32_t(le32(h + 4));
        height = int32_t(le32(h + 8));
        bits = le16(h + 14);
        compression = le32(h + 16);
        coloursUsed = le32(h + 32);
    }
    const bool topDown = height < 0;
    height = topDown ? -height : height;
    if (width <= 0 || height <= 0) return refuse(BmpRead::Invalid, error, "the BMP has no pixels");
    if (width > 0x7fffffff / 4 || height > 0x7fffffff || width * height > maxPixels)
        return refuse(BmpRead::Invalid, error, "the picture is too large");

    // Channel masks: fixed for plain pixels, from the header or just after it for bit fields.
    Channel red(0xff0000), green(0xff00), blue(0xff);
    if (bits == 16) {
        red = Channel(0x7c00);
        green = Channel(0x3e0);
        blue = Channel(0x1f);
    }
    if (compression == 3 || compression == 6) {
        if (bits != 16 && bits != 32)
            return refuse(BmpRead::Invalid, error, "bit fields on a BMP that is not 16 or 32 bits");
        if (14 + 40 + 12 > size)
            return refuse(BmpRead::Invalid, error, "the BMP header is cut short");
        red = Channel(le32(h + 40));
        green = Channel(le32(h + 44));
        blue = Channel(le32(h + 48));
    } else if (compression != 0) {
        return refuse(BmpRead::Unsupported, error, "compressed BMP");
    }
    if (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32)
        return refuse(BmpRead::Invalid, error, "unknown BMP pixel depth");

    // Palette: just after the header (and the masks of a 40-byte bit-field header).
    uint8_t palette[256][3] = {};
    if (bits <= 8) {
        const uint64_t entrySize = core ? 3 : 4;
        uint64_t count = coloursUsed ? coloursUsed : uint64_t(1) << bits;
        count = std::min<uint64_t>(count, uint64_t(1) << bits);
        const uint64_t at = 14 + uint64_t(headerSize);
        if (at + count * entrySize > size)
            return refuse(BmpRead::Invalid, error, "the BMP palette is cut short");
        for (uint64_t i = 0; i < count; ++i) {
            const uint8_t* e = data + at + i * entrySize;
            palette[i][0] = e[2];
            palette[i][1] = e[1];
            palette[i][2] = e[0];
        }
    }

    const uint64_t stride = (uint64_t(width) * bits + 31) / 32 * 4;
    if (pixelOffset > size || (size - pixelOffset) / stride < uint64_t(height))
        return refuse(BmpRead::Invalid, error, "the file ends before the picture does");

    RgbPicture picture;
    picture.width = int(width);
    picture.height = int(height);
    if (!picture.rgb.allocate(size_t(width) * size_t(height) * 3))
        return refuse(BmpRead::Invalid, error, "out of memory");

    for (int64_t y = 0; y < height; ++y) {
        const uint8_t* src = data + pixelOffset + stride * uint64_t(topDown ? y : height - 1 - y);
        uint8_t* dst = picture.row(int(y));
        switch (bits) {
            case 24:
                for (int64_t x = 0; x < width; ++x, src += 3, dst += 3) {
                    dst[0] = src[2];
                    dst[1] = src[1];
                    dst[2] = src[0];
                }
                break;
            case 32:
                if (compression == 0) {
                    for (int64_t x = 0; x < width; ++x, src += 4, dst += 3) {
                        dst[0] = src[2];
                        dst[1] = src[1];
                        dst[2] = src[0];
                    }
                    break;
                }
                for (int64_t x = 0; x < width; ++x, src += 4, dst += 3) {
                    const uint32_t p = le32(src);
                    dst[0] = red(p);
                    dst[1] = green(p);
                    dst[2] = blue(p);
                }
                break;
            case 16:
                for (int64_t x = 0; x < width; ++x, src += 2, dst += 3) {
                    const uint32_t p = le16(src);
                    dst[0] = red(p);
                    dst[1] = green(p);
                    dst[2] = blue(p);
                }
                break;
            default: {  // 1, 4 or 8 bits per pixel, most significant first
                const int perByte = 8 / bits;
                const unsigned valueMask = (1u << bits) - 1;
                for (int64_t x = 0; x < width; ++x, dst += 3) {
                    const int shift = 8 - bits * int(x % perByte + 1);
                    const unsigned index = (src[x / perByte] >> shift) & valueMask;
                    std::memcpy(dst, palette[index], 3);
                }
            }
        }
    }
    *out = std::move(picture);
    return BmpRead::Ok;
}

}  // namespace velmora::convert
