// The engine against the plain one on the heavy cases, side by side in one run:
//   build/bin/inpaint_bench [--today=OTHER_BUILD/bin/velmora-erase [--rounds=N]]
// prints Google Benchmark's lines, then a table of each case: our time with one
// thread and with all, the plain engine's time, the ratio, and the engine's peak
// heap. The large marks on full-size photos are beyond the plain engine; with
// --today, another build's velmora-erase and ours fill them side by side (BMP in
// and out, every thread), with the ratio and whether pixels and steps agree. The
// last rows run velmora-erase on full-size photos and report its peak memory
// against the decoded picture.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QImage>
#include <QTemporaryDir>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "block_search.h"
#include "inpainting.h"
#include "picture_file.h"
#include "pixel_buffer_adapter.h"
#include "reference_inpainting.h"

// Heap accounting for the whole program: bytes in use now and at the peak.
namespace {
std::atomic<long long> g_heapNow{0};
std::atomic<long long> g_heapPeak{0};

// Each block carries its size and header length just before the address handed out.
void* countedAlloc(std::size_t size, std::size_t align = 16) {
    const std::size_t header = align < 16 ? 16 : align;
    const std::size_t total = (size + header + align - 1) / align * align;
    char* block = static_cast<char*>(std::aligned_alloc(align, total));
    if (block == nullptr) throw std::bad_alloc();
    char* user = block + header;
    reinterpret_cast<std::size_t*>(user)[-1] = size;
    reinterpret_cast<std::size_t*>(user)[-2] = header;
    const long long now = g_heapNow += (long long)size;
    long long peak = g_heapPeak.load();
    while (now > peak && !g_heapPeak.compare_exchange_weak(peak, now)) {
    }
    return user;
}
void countedFree(void* p) {
    if (p == nullptr) return;
    char* user = static_cast<char*>(p);
    g_heapNow -= (long long)reinterpret_cast<std::size_t*>(user)[-1];
    std::free(user - reinterpret_cast<std::size_t*>(user)[-2]);
}
}  // namespace

void* operator new(std::size_t size) { return countedAlloc(size); }
void* operator new[](std::size_t size) { return countedAlloc(size); }
void* operator new(std::size_t size, std::align_val_t a) {
    return countedAlloc(size, std::size_t(a));
}
void* operator new[](std::size_t size, std::align_val_t a) {
    return countedAlloc(size, std::size_t(a));
}
void operator delete(void* p) noexcept { countedFree(p); }
void operator delete[](void* p) noexcept { countedFree(p); }
void operator delete(void* p, std::size_t) noexcept { countedFree(p); }
void operator delete[](void* p, std::size_t) noexcept { countedFree(p); }
void operator delete(void* p, std::align_val_t) noexcept { countedFree(p); }
void operator delete[](void* p, std::align_val_t) noexcept { countedFree(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { countedFree(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { countedFree(p); }

namespace {

struct Mark {
    int x, y, width, height;
};

struct Case {
    const char* name;
    const char* file;
    int scaleTo;  // 0: as it is; else the width to scale to, keeping 3:2
    std::vector<Mark> marks;
    int radius;
    int scanBorder;
    bool large = false;  // beyond the plain engine
};

const std::vector<Case>& cases() {
    static const std::vector<Case> all = {
        {"corners of 512x512, w 8, border 50",
         "astronaut.png",
         0,
         {{12, 12, 24, 20}, {476, 12, 24, 24}, {12, 478, 22, 22}, {474, 474, 26, 24}},
         8,
         50},
        {"100x80 mark, w 32, border 50", "astronaut.png", 0, {{206, 216, 100, 80}}, 32, 50},
        {"marks across 451x300, w 5, border 50",
         "chelsea.png",
         0,
         {{20, 30, 30, 20},
          {200, 40, 24, 30},
          {380, 60, 40, 16},
          {90, 200, 35, 30},
          {300, 240, 50, 20}},
         5,
         50},
        {"date stamp 120x12 on 640x427, w 4, border 50",
         "rocket.jpg",
         0,
         {{500, 400, 120, 12}},
         4,
         50},
        {"date stamp 120x12 on 640x427, w 4, border 500",
         "rocket.jpg",
         0,
         {{500, 400, 120, 12}},
         4,
         500},
        {"stamp 120x40 on 6000x4000, w 4, border 10",
         "rocket.jpg",
         6000,
         {{5800, 3900, 120, 40}},
         4,
         10},
        // Something large removed from a full-size photo: a person, a car, a sign.
        {"200x300 mark on 4242x2828, w 4, border 50",
         "rocket.jpg",
         4242,
         {{2000, 1200, 200, 300}},
         4,
         50,
         true},
        {"600x1000 mark on 6000x4000, w 4, border 50",
         "rocket.jpg",
         6000,
         {{2700, 1500, 600, 1000}},
         4,
         50,
         true},
        {"600x1000 mark on 6000x4000, w 4, border 200",
         "rocket.jpg",
         6000,
         {{2700, 1500, 600, 1000}},
         4,
         200,
         true},
    };
    return all;
}

QImage casePicture(const Case& c) {
    QString error;
    QImage image = velmora::readPictureFile(QStringLiteral(VELMORA_TEST_DATA "/") + c.file, &error);
    if (image.isNull()) return {};
    if (c.scaleTo > 0)
        image = image.scaled(c.scaleTo, c.scaleTo * 2 / 3, Qt::IgnoreAspectRatio,
                             Qt::SmoothTransformation);
    image = image.convertToFormat(QImage::Format_RGB32);
    for (const Mark& m : c.marks)
        for (int y = m.y; y < m.y + m.height; ++y)
            for (int x = m.x; x < m.x + m.width; ++x) image.setPixel(x, y, qRgb(0, 255, 0));
    return image;
}

const velmora::PixelBuffer& marked(int index) {
    static std::map<int, velmora::PixelBuffer> cache;
    auto it = cache.find(index);
    if (it == cache.end())
        it = cache.emplace(index, velmora::toPixelBuffer(casePicture(cases()[std::size_t(index)])))
                 .first;
    return it->second;
}

struct Row {
    double seconds[3] = {0, 0, 0};  // ours one thread, ours all threads, plain
    long long peakHeap = 0;         // ours, beyond the picture
    double longestWait = 0;         // ours, seconds between yields (Stop acts at a yield)
    int steps[2] = {0, 0};          // ours, plain
    bool same = true;
};
std::map<int, Row> g_rows;
std::map<int, velmora::PixelBuffer> g_results;

enum Engine { kOneThread = 0, kAllThreads = 1, kPlain = 2 };

// The longest time the window would wait for a yield, from the run's start on.
class YieldClock : public velmora::InpaintObserver {
public:
    double longest = 0;
    bool yield() override {
        const auto now = std::chrono::steady_clock::now();
        longest = std::max(longest, std::chrono::duration<double>(now - m_last).count());
        m_last = now;
        return false;
    }
    void preview(const velmora::PixelView&, const velmora::PixelRect&) override {}
    void start() { m_last = std::chrono::steady_clock::now(); }

private:
    std::chrono::steady_clock::time_point m_last;
};

void BM_Fill(benchmark::State& state) {
    const int index = int(state.range(0));
    const Engine engine = Engine(state.range(1));
    const Case& c = cases()[std::size_t(index)];
    const velmora::PixelBuffer& input = marked(index);
    if (input.bytes.empty()) {
        state.SkipWithError("photo missing");
        return;
    }
    velmora::InpaintOptions options;
    options.radius = c.radius;
    options.scanBorder = c.scanBorder;
    options.threads = engine == kOneThread ? 1 : 0;
    Row& row = g_rows[index];
    velmora::PixelBuffer picture;
    int steps = 0;
    YieldClock clock;
    for (auto _ : state) {
        state.PauseTiming();
        picture = input;
        const long long before = g_heapNow.load();
        g_heapPeak = before;
        clock.start();
        state.ResumeTiming();
        const velmora::InpaintResult r =
            engine == kPlain ? velmora::reference::Inpaint(picture, options, nullptr)
                             : velmora::Inpaint(picture, options, &clock);
        state.PauseTiming();
        steps = r.steps;
        if (engine != kPlain) row.peakHeap = std::max(row.peakHeap, g_heapPeak.load() - before);
        state.ResumeTiming();
    }
    row.steps[engine == kPlain ? 1 : 0] = steps;
    if (engine != kPlain) row.longestWait = std::max(row.longestWait, clock.longest);
    auto& result = g_results[index];
    if (result.bytes.empty())
        result = picture;
    else if (result.bytes != picture.bytes)
        row.same = false;
    state.counters["steps"] = steps;
    state.SetLabel(std::string(c.name) + (engine == kPlain       ? " [plain]"
                                          : engine == kOneThread ? " [1 thread]"
                                                                 : " [all threads]"));
}

// Runs a command to its end with its standard output in *output and its standard
// error dropped; false when it cannot start or does not exit with 0.
bool runCapturing(std::vector<std::string> args, std::string* output) {
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int out[2];
    if (pipe(out) != 0) return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (spawned != 0) {
        close(out[0]);
        return false;
    }
    char buffer[256];
    for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;)
        output->append(buffer, std::size_t(n));
    close(out[0]);
    int status = 0;
    return waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Runs a command and returns its peak resident memory in bytes, or -1. A child's
// peak also counts the memory of the process it was forked from, so the bench
// first starts a fresh copy of itself (small) to start the command.
long long peakOf(std::vector<std::string> args) {
    args.insert(args.begin(), {"/proc/self/exe", "--peak-of"});
    std::string text;
    return runCapturing(std::move(args), &text) ? std::atoll(text.c_str()) : -1;
}

// Runs a command to its end; returns its wall time in seconds, or -1 when it
// fails, and what it printed.
double timed(std::vector<std::string> args, std::string* output) {
    const auto start = std::chrono::steady_clock::now();
    if (!runCapturing(std::move(args), output)) return -1;
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Wall seconds as "min-median-max".
std::string spread(std::vector<double> seconds) {
    std::sort(seconds.begin(), seconds.end());
    char text[64];
    std::snprintf(text, sizeof text, "%.2f-%.2f-%.2f", seconds.front(), seconds[seconds.size() / 2],
                  seconds.back());
    return text;
}

// Today's build and ours on the large marks, in `rounds` interleaved runs each,
// every thread; the ratio is of the medians.
void compareWith(const std::string& today, int rounds) {
    const std::string threads = std::to_string(std::max(1u, std::thread::hardware_concurrency()));
    std::printf(
        "\nvelmora-erase --threads %s, BMP in and out, %d interleaved runs: %s against "
        "this build (wall seconds, min-median-max)\n",
        threads.c_str(), rounds, today.c_str());
    std::printf("%-48s %16s %16s %8s %12s\n", "case", "today", "this", "ratio", "same result");
    for (const Case& c : cases()) {
        if (!c.large) continue;
        QTemporaryDir dir;
        const QString in = dir.filePath("in.bmp");
        if (!casePicture(c).save(in, "BMP")) return;
        std::vector<double> seconds[2];
        std::string said[2];
        QByteArray written[2];
        bool same = true;
        const std::string tools[2] = {today, VELMORA_ERASE_PATH};
        for (int round = 0; round < rounds; ++round)
            for (int t = 0; t < 2; ++t) {
                const QString out = dir.filePath(QString("out%1.bmp").arg(t));
                said[t].clear();
                // The last run's file is flushed before the next starts, or the
                // disk would still be writing one build's output while the next
                // build waits for its own to reach the disk.
                ::sync();
                const double s = timed({tools[t], "--block-size", std::to_string(c.radius),
                                        "--scan-border", std::to_string(c.scanBorder), "--threads",
                                        threads, in.toStdString(), out.toStdString()},
                                       &said[t]);
                same = same && s > 0;
                seconds[t].push_back(s);
                QFile file(out);
                if (file.open(QIODevice::ReadOnly)) written[t] = file.readAll();
            }
        same = same && said[0] == said[1] && written[0] == written[1];
        std::sort(seconds[0].begin(), seconds[0].end());
        std::sort(seconds[1].begin(), seconds[1].end());
        const double median[2] = {seconds[0][seconds[0].size() / 2],
                                  seconds[1][seconds[1].size() / 2]};
        std::printf("%-48s %16s %16s %7.1fx %12s\n", c.name, spread(seconds[0]).c_str(),
                    spread(seconds[1]).c_str(), median[1] > 0 ? median[0] / median[1] : 0.0,
                    same ? "yes" : "NO");
    }
}

// The fresh copy's part: start the command, wait, print its peak in bytes.
int reportPeakOf(char** command) {
    pid_t pid = 0;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    const int spawned = posix_spawn(&pid, command[0], &actions, nullptr, command, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return 1;
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return 1;
    std::printf("%lld\n", (long long)usage.ru_maxrss * 1024);
    return 0;
}

// Runs velmora-erase on the big photo and returns its peak resident memory in bytes.
long long eraseToolPeak(const Case& c, int threads, long long* decodedBytes) {
    QTemporaryDir dir;
    const QImage image = casePicture(c);
    *decodedBytes = image.sizeInBytes();
    const QString in = dir.filePath("big.png");
    if (!image.save(in, "PNG")) return -1;
    return peakOf({VELMORA_ERASE_PATH, "--block-size", std::to_string(c.radius), "--scan-border",
                   std::to_string(c.scanBorder), "--threads", std::to_string(threads),
                   in.toStdString(), dir.filePath("out.png").toStdString()});
}

class TableReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
            // The run name is BM_Fill/<case>/<engine>/...
            int index = 0, engine = 0;
            if (run.run_name.function_name != "BM_Fill") continue;
            if (std::sscanf(run.run_name.args.c_str(), "%d/%d", &index, &engine) != 2) continue;
            g_rows[index].seconds[engine] = run.GetAdjustedRealTime() / 1e3;  // ms unit
        }
    }
};

}  // namespace

BENCHMARK(BM_Fill)
    ->ArgsProduct({{0, 1, 2, 3, 4, 5, 6, 7, 8}, {kOneThread, kAllThreads}})
    ->Unit(benchmark::kMillisecond)
    ->MinTime(0.5);
BENCHMARK(BM_Fill)
    ->ArgsProduct({{0, 1, 2, 3, 4, 5}, {kPlain}})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

int main(int argc, char** argv) {
    if (argc > 2 && std::string(argv[1]) == "--peak-of") return reportPeakOf(argv + 2);
    std::string today;
    int rounds = 3;
    for (int i = 1; i < argc;) {
        const std::string arg = argv[i];
        if (arg.rfind("--today=", 0) == 0)
            today = arg.substr(8);
        else if (arg.rfind("--rounds=", 0) == 0)
            rounds = std::max(1, std::atoi(arg.c_str() + 9));
        else {
            ++i;
            continue;
        }
        std::copy(argv + i + 1, argv + argc + 1, argv + i);
        --argc;
    }
    benchmark::Initialize(&argc, argv);
    TableReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);

    std::printf("\nkernels: %s, threads for 'all': %d\n", velmora::blockSearchKernel(),
                int(std::thread::hardware_concurrency()));
    std::printf("%-48s %10s %10s %10s %8s %8s %10s %6s %10s\n", "case", "1 thread", "all", "plain",
                "ratio 1", "ratio all", "heap", "same", "yield gap");
    for (const auto& [index, row] : g_rows) {
        const Case& c = cases()[std::size_t(index)];
        const double plain = row.seconds[kPlain];
        if (c.large) {
            std::printf("%-48s %8.2f ms %8.2f ms %10s %8s %9s %7.1f MB %6s %7.1f ms\n", c.name,
                        row.seconds[kOneThread] * 1e3, row.seconds[kAllThreads] * 1e3, "-", "-",
                        "-", double(row.peakHeap) / 1e6, row.same ? "yes" : "NO",
                        row.longestWait * 1e3);
            continue;
        }
        std::printf("%-48s %8.2f ms %8.2f ms %8.0f ms %7.0fx %8.0fx %7.1f MB %6s %7.1f ms\n",
                    c.name, row.seconds[kOneThread] * 1e3, row.seconds[kAllThreads] * 1e3,
                    plain * 1e3,
                    row.seconds[kOneThread] > 0 ? plain / row.seconds[kOneThread] : 0.0,
                    row.seconds[kAllThreads] > 0 ? plain / row.seconds[kAllThreads] : 0.0,
                    double(row.peakHeap) / 1e6,
                    row.same && row.steps[0] == row.steps[1] ? "yes" : "NO", row.longestWait * 1e3);
    }

    if (!today.empty()) compareWith(today, rounds);

    // The stamp on the full-size photo, and the widest search over it.
    for (const Case& big : {cases()[5], cases().back()}) {
        long long decoded = 0;
        const long long peak =
            eraseToolPeak(big, int(std::max(1u, std::thread::hardware_concurrency())), &decoded);
        if (peak > 0)
            std::printf(
                "\nvelmora-erase on %s: peak resident memory %.0f MB = %.2f x the decoded "
                "picture (%.0f MB)\n",
                big.name, double(peak) / 1e6, double(peak) / double(decoded),
                double(decoded) / 1e6);
        else
            std::printf("\nvelmora-erase on %s: the run failed\n", big.name);
    }
    benchmark::Shutdown();
    return 0;
}
