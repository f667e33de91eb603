#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace velmora::convert {

// Fills out with row y of the picture: width * channels bytes (grey, or R G B).
// Called from several threads at once, each with its own rows.
using PngRowSource = std::function<void(int y, uint8_t* out)>;

// Writes a lossless 8-bit PNG, grey (channels 1) or RGB (channels 3), to the open
// descriptor fd, which stays open. Returns an empty string on success, else the reason.
std::string writePng(int fd, int width, int height, int channels, const PngRowSource& rows);

}  // namespace velmora::convert
