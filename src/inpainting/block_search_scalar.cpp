#include "block_search_scan.h"

namespace velmora::detail {

void scanScalar(ScanJob& job) { scanCandidates(job, scalarSum); }

}  // namespace velmora::detail
