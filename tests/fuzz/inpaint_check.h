#pragma once

// One fuzz input, decoded into a small marked picture and removal options, run
// through velmora::Inpaint and checked against what the engine promises.
// Shared by the libFuzzer target (clang) and the corpus replay (any compiler).
// A broken promise prints what was broken and traps, so both runners fail.

#include <cstddef>
#include <cstdint>
#include <string>

namespace velmora_fuzz {

// Input layout (every byte past the end reads as 0, so any input is valid):
//   0  width - 1 (mod 40)            1  height - 1 (mod 40)
//   2  block radius: 1..12; with bit 7 set 1..40, often larger than the picture
//   3  scan border: bits 6-7 pick 0..7, 0..picture side, side..side+63 or 64 * (0..63);
//      with VELMORA_FUZZ_KNOWN_FAULTS=1 the last 4 values of that become INT_MAX-3..INT_MAX
//   4  flags: bit 0 preview; bits 1-2 observer (0 none, 1 never stops, 2-3 stops
//      after k yields); bit 3 pixels given one by one; bits 4-5 colours - 1 (1..4);
//      bits 6-7 both set: instead a bad block size, scan border or buffer (byte 2 picks)
//   5, 6  k = byte 5 + 256 * (byte 6 mod 8)
//   7..   palette: 4 bytes per colour (blue, green, red, byte 3)
//   then, with bit 3: one 2-bit colour index per pixel, four pixels a byte
//   then drawing operations of 5 bytes each: opcode, a, b, c, d (see inpaint_check.cpp)
// The region to fill is every pixel that ends up pure green (0,255,0).
// Returns a one-line account of the case and how its run ended, for the replay log.
std::string CheckInput(const std::uint8_t* data, std::size_t size);

}  // namespace velmora_fuzz
