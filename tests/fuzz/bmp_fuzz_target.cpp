// libFuzzer entry for the converter's BMP reader: any bytes, no crash, no
// sanitizer report, and a picture it accepts is whole and within the limit.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "bmp_reader.h"

namespace {
// Small, so each input runs in microseconds; the size checks are the same at any limit.
constexpr std::int64_t kMaxPixels = 1 << 20;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    velmora::convert::RgbPicture picture;
    std::string error;
    const auto kind = velmora::convert::readBmp(data, size, kMaxPixels, &picture, &error);
    if (kind != velmora::convert::BmpRead::Ok) {
        if (error.empty() || picture.rgb) std::abort();
        return 0;
    }
    if (picture.width <= 0 || picture.height <= 0 ||
        std::int64_t(picture.width) * picture.height > kMaxPixels)
        std::abort();
    // Every byte of every row must lie inside the allocation (the sanitizer watches).
    unsigned sum = 0;
    for (int y = 0; y < picture.height; ++y)
        for (std::size_t i = 0; i < picture.rowBytes(); ++i) sum += picture.row(y)[i];
    volatile unsigned sink = sum;
    (void)sink;
    return 0;
}
