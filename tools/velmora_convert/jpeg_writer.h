#pragma once

#include <string>

#include "picture.h"

namespace velmora::convert {

// Writes picture as a baseline JPEG at the given quality, full-resolution colour
// (4:4:4), with Huffman tables fitted to the picture, to the open descriptor fd,
// which stays open. A grey picture (R = G = B everywhere) is written as one grey
// component. Returns an empty string on success, else the reason.
std::string writeJpeg(int fd, const RgbPicture& picture, int quality);

}  // namespace velmora::convert
