#pragma once

#include <string>

#include "picture.h"

namespace velmora::convert {

// Writes picture as a single-frame GIF to the open descriptor fd (which it closes).
// A picture of at most maxColors colours is kept exactly; otherwise a palette of
// maxColors is fitted to it and, with dither, the rest is spread by error diffusion.
// Returns an empty string on success, otherwise the reason for the failure.
std::string writeGif(int fd, const RgbPicture& picture, int maxColors, bool dither);

}  // namespace velmora::convert
