#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "picture.h"

namespace velmora::convert {

enum class BmpRead {
    Ok,
    Unsupported,  // a valid kind of BMP this reader leaves to a general decoder (run-length,
                  // embedded JPEG or PNG)
    Invalid,
};

// Decodes a Windows bitmap held in memory into *out. Pictures of more than
// maxPixels pixels are refused before anything is allocated. On failure *error
// names the reason in a few words and *out is left empty.
BmpRead readBmp(const uint8_t* data, size_t size, int64_t maxPixels, RgbPicture* out,
                std::string* error);

}  // namespace velmora::convert
