#pragma once

// Switches for tests and benchmarks only; the program and the tools never call
// them. Each changes state shared by every later run in the process, so a test
// that sets one restores it before it ends.

#include <string>

namespace velmora {

// Makes every later run list the source tiles, so small pictures check the tiled
// search; without `sideBySide`, tiles are bounded one by one from the full
// ranges, as where the side-by-side ranges would take too much memory.
void alwaysTileSearches(bool on, bool sideBySide = true);

// Switches every later search to the named kernel set ("avx2", "sse2" or
// "scalar"), when the processor runs it; so the narrower sets can be checked on
// a machine that would not pick them. Returns false, changing nothing, otherwise.
bool useBlockSearchKernel(const std::string& name);

// Makes every later run yield only after its stages, never because 40 ms have
// passed, so a run's calls to its observer do not depend on the machine's load.
void yieldOnlyAfterStages(bool on);

}  // namespace velmora
