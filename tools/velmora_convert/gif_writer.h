#pragma once

#include <QImage>
#include <QString>

namespace velmora::convert {

// Writes img as a single-frame GIF to the open descriptor fd (which it closes).
// maxColors bounds the palette; dither asks for ordered dithering toward it.
// Returns an empty string on success, otherwise the reason for the failure.
QString writeGif(const QImage &img, int fd, int maxColors, bool dither);

} // namespace velmora::convert
