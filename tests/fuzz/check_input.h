#pragma once

// The one entry of every fuzz target: decodes and checks one input, returns a
// line saying what was run, and traps when a promise breaks. Each target links
// its own definition with fuzz_target.cpp (libFuzzer) or replay_main.cpp (replay).

#include <cstddef>
#include <cstdint>
#include <string>

namespace velmora_fuzz {

std::string CheckInput(const std::uint8_t* data, std::size_t size);

}  // namespace velmora_fuzz
