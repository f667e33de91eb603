// Full removal runs on photos: build/bin/inpaint_bench
#include <benchmark/benchmark.h>

#include <QImage>

#include "inpainting.h"
#include "picture_file.h"
#include "pixel_buffer_adapter.h"

namespace {

struct PhotoCase {
    const char* file;
    int x, y, width, height;  // the marked box
};

// A date-stamp strip in a corner, an object in texture, an object on a figure.
const PhotoCase kCases[] = {
    {"coffee.png", 470, 370, 120, 22},
    {"brick.png", 200, 240, 40, 30},
    {"astronaut.png", 300, 120, 60, 25},
};

velmora::PixelBuffer markedPhoto(const PhotoCase& c) {
    QString error;
    QImage image = velmora::readPictureFile(QStringLiteral(VELMORA_TEST_DATA "/") + c.file, &error);
    if (image.isNull()) return {};
    for (int y = c.y; y < c.y + c.height; ++y)
        for (int x = c.x; x < c.x + c.width; ++x) image.setPixel(x, y, qRgb(0, 255, 0));
    return velmora::toPixelBuffer(image);
}

void BM_Inpaint(benchmark::State& state) {
    const PhotoCase& c = kCases[state.range(0)];
    const velmora::PixelBuffer marked = markedPhoto(c);
    if (marked.bytes.empty()) {
        state.SkipWithError("photo missing");
        return;
    }
    velmora::InpaintOptions options;
    options.blockSize = 4;
    options.scanBorder = int(state.range(1));
    int steps = 0;
    for (auto _ : state) {
        velmora::PixelBuffer picture = marked;
        steps = velmora::Inpaint(picture, options, nullptr).steps;
        benchmark::DoNotOptimize(picture.bytes.data());
    }
    state.counters["steps"] = steps;
    state.SetLabel(c.file);
}

BENCHMARK(BM_Inpaint)
    ->ArgsProduct({{0, 1, 2}, {10, 50, 200}})
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
