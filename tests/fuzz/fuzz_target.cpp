// libFuzzer entry: every input is decoded and checked by the check code the target links.

#include <cstddef>
#include <cstdint>

#include "check_input.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    velmora_fuzz::CheckInput(data, size);
    return 0;
}
