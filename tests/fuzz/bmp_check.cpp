// The converter's BMP reader: any bytes, no crash, and a picture it accepts is
// whole and within the limit, with every row inside its allocation.

#include <cstdio>
#include <cstdlib>

#include "bmp_reader.h"
#include "check_input.h"

namespace velmora_fuzz {

namespace {

// Small, so each input runs in microseconds; the size checks are the same at any limit.
constexpr std::int64_t kMaxPixels = 1 << 20;

void check(bool holds, const char* what) {
    if (holds) return;
    std::fprintf(stderr, "check failed: %s\n", what);
    std::abort();
}

}  // namespace

std::string CheckInput(const std::uint8_t* data, std::size_t size) {
    using namespace velmora::convert;
    RgbPicture picture;
    std::string error;
    if (readBmp(data, size, kMaxPixels, &picture, &error) != BmpRead::Ok) {
        check(!error.empty() && !picture.rgb, "a refusal gives a reason and no picture");
        return "refused: " + error;
    }
    check(picture.width > 0 && picture.height > 0 &&
              std::int64_t(picture.width) * picture.height <= kMaxPixels,
          "an accepted picture has a size within the limit");
    // The sanitizer watches every byte read here.
    unsigned sum = 0;
    for (int y = 0; y < picture.height; ++y)
        for (std::size_t i = 0; i < picture.rowBytes(); ++i) sum += picture.row(y)[i];
    volatile unsigned sink = sum;
    (void)sink;
    return "read " + std::to_string(picture.width) + " x " + std::to_string(picture.height);
}

}  // namespace velmora_fuzz
