#include "picture_writer.h"

#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "gif_writer.h"
#include "jpeg_writer.h"
#include "png_writer.h"

namespace velmora::convert {
namespace {

// Visually lossless for photos while the file stays a moderate size.
constexpr int kJpegQuality = 95;
constexpr int kGifMaxSide = 65535;

std::string encodePng(int fd, const RgbPicture& picture) {
    const bool grey = isGrey(picture);
    return writePng(fd, picture.width, picture.height, grey ? 1 : 3, [&](int y, uint8_t* out) {
        const uint8_t* p = picture.row(y);
        if (!grey) {
            std::memcpy(out, p, picture.rowBytes());
            return;
        }
        for (int x = 0; x < picture.width; ++x) out[x] = p[3 * x];
    });
}

}  // namespace

std::optional<PictureFormat> formatOfExtension(std::string_view extension) {
    const std::string e(extension);
    if (::strcasecmp(e.c_str(), "jpg") == 0 || ::strcasecmp(e.c_str(), "jpeg") == 0)
        return PictureFormat::Jpeg;
    if (::strcasecmp(e.c_str(), "gif") == 0) return PictureFormat::Gif;
    if (::strcasecmp(e.c_str(), "png") == 0) return PictureFormat::Png;
    return std::nullopt;
}

std::string encodePicture(int fd, const RgbPicture& picture, PictureFormat format,
                          const EncodeOptions& options) {
    switch (format) {
        case PictureFormat::Jpeg:
            return writeJpeg(fd, picture, kJpegQuality);
        case PictureFormat::Png:
            return encodePng(fd, picture);
        case PictureFormat::Gif: {
            if (picture.width > kGifMaxSide || picture.height > kGifMaxSide)
                return "GIF holds at most 65535 pixels a side";
            // The GIF library closes the descriptor it is given; the caller keeps its own.
            const int own = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
            if (own < 0) return std::strerror(errno);
            return writeGif(own, picture, options.gifColours, options.gifDither);
        }
    }
    return "unknown picture format";
}

std::string writePictureFile(const std::string& path, const RgbPicture& picture,
                             PictureFormat format, Publish how, const EncodeOptions& options,
                             const FinishFile& finish) {
    return writeFileAtomically(
        path, how, [&](int fd) { return encodePicture(fd, picture, format, options); }, finish);
}

}  // namespace velmora::convert
