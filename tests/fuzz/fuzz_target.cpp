// libFuzzer entry: every input is decoded and checked by the shared check code.

#include <cstddef>
#include <cstdint>

#include "inpaint_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    velmora_fuzz::CheckInput(data, size);
    return 0;
}
