#include "block_search.h"

#include "block_search_scan.h"
#include "worker_pool.h"

namespace velmora {

namespace {

using ScanFn = void (*)(detail::ScanJob&);

struct Kernel {
    ScanFn scan;
    const char* name;
};

Kernel chooseKernel() {
#if defined(__x86_64__) || defined(_M_X64)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) return {detail::scanAvx2, "avx2"};
    return {detail::scanSse2, "sse2"};
#else
    return {detail::scanScalar, "scalar"};
#endif
}

const Kernel& kernel() {
    static const Kernel k = chooseKernel();
    return k;
}

// Below this many pixel comparisons a search is not worth sharing out.
constexpr long long kMinSharedWork = 200000;

bool better(const SearchBest& a, const SearchBest& b) {
    return a.sum < b.sum || (a.sum == b.sum && a.index < b.index);
}

}  // namespace

const char* blockSearchKernel() { return kernel().name; }

SearchBest searchBestSource(const PixelView& picture, const SourceMap& sources,
                            const TargetBlock& target, const Box& area, std::int64_t limit,
                            const std::vector<std::pair<int, int>>& seeds, WorkerPool* pool) {
    // Blocks under four pixels wide have no runs of four; they are summed one by one.
    const ScanFn scan = target.radius >= 2 ? kernel().scan : detail::scanScalar;

    detail::ScanJob base;
    base.picture = &picture;
    base.sources = &sources;
    base.target = &target;
    base.best = {limit, -1};

    for (const auto& [x, y] : seeds) {
        if (!area.contains(x, y) || !sources.ok(x, y)) continue;
        detail::ScanJob one = base;
        one.area = {x, y, x, y};
        scan(one);
        base.best = one.best;
    }

    base.area = area;
    const int shares =
        pool != nullptr && area.area() * target.knownPixels >= kMinSharedWork ? pool->size() : 1;
    if (shares == 1) {
        scan(base);
        return base.best;
    }
    std::vector<detail::ScanJob> jobs(std::size_t(shares), base);
    for (int s = 0; s < shares; ++s) {
        jobs[std::size_t(s)].rowStart = s;
        jobs[std::size_t(s)].rowStep = shares;
    }
    pool->run([&](int s) { scan(jobs[std::size_t(s)]); });
    SearchBest best = base.best;
    for (const detail::ScanJob& job : jobs)
        if (better(job.best, best)) best = job.best;
    return best;
}

}  // namespace velmora
