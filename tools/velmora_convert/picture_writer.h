#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "atomic_file.h"
#include "picture.h"

namespace velmora::convert {

// The formats this program encodes itself. Every way out (the window's save,
// velmora-convert, velmora-erase) writes them through encodePicture, so the same
// pixels give the same file whichever way they leave.
enum class PictureFormat { Jpeg, Gif, Png };

// The format named by an extension without its dot ("jpg", "jpeg", "gif", "png",
// any letter case); nullopt for any other.
std::optional<PictureFormat> formatOfExtension(std::string_view extension);

struct EncodeOptions {
    int gifColours = 256;  // 2 to 256
    bool gifDither = true;
};

// Encodes picture to the open descriptor fd, which stays open:
// - JPEG: quality 95, full-resolution colour (4:4:4), Huffman tables fitted to the
//   picture; a grey picture (R = G = B everywhere) as one grey component.
// - GIF: the picture's own colours when there are at most gifColours, else a
//   fitted palette with the rest spread by error diffusion (gifDither); at most
//   65535 pixels a side.
// - PNG: lossless, 8 bits a sample, grey for a grey picture.
// Returns an empty string on success, else the reason.
std::string encodePicture(int fd, const RgbPicture& picture, PictureFormat format,
                          const EncodeOptions& options = {});

// Encodes picture into the file path through an AtomicFile (see there); finish,
// when given, runs on the complete temporary file before it is published.
// Returns an empty string on success, else the reason.
std::string writePictureFile(const std::string& path, const RgbPicture& picture,
                             PictureFormat format, Publish how, const EncodeOptions& options = {},
                             const FinishFile& finish = {});

}  // namespace velmora::convert
