#pragma once

#include <QImage>

#include "pixel_buffer.h"

namespace velmora {

// The one crossing between Qt pictures and the engine's buffer.

// Any QImage to the engine's B, G, R, byte-3 layout. Formats other than RGB32
// and ARGB32 are converted to ARGB32 first; byte 3 is the pixel's alpha
// (0xFF for RGB32). A null image gives an empty buffer.
PixelBuffer toPixelBuffer(const QImage& image);

// The buffer back as a QImage: Format_RGB32 when every byte 3 is 0xFF, else
// Format_ARGB32 so that byte 3 survives. Precondition: buffer.isValid().
QImage toQImage(const PixelBuffer& buffer);

// Copies the pixels of rect (clipped to both) from picture into image, an
// RGB32 or ARGB32 picture of the same size, leaving the rest alone.
void copyToQImage(const PixelView& picture, const PixelRect& rect, QImage* image);

// A picture of `size` whose memory is taken in huge pages where the system has
// them, left unwritten: a camera photo otherwise costs a page fault per 4 KB as
// it is first written. Another thread faults the pages in meanwhile, starting
// at the end written last (the top when `writtenFromBottom`, as a bitmap is).
QImage hugePageImage(QSize size, QImage::Format format, bool writtenFromBottom = false);

// Gives `image` pixels of its own, copied into huge pages, when it shares them;
// QImage's own copy on write would fault them in 4 KB at a time.
void detachIntoHugePages(QImage* image);

// Lets the engine work on `image` in place, without a copy of the picture.
// Converts `image` to RGB32 unless it is RGB32 or ARGB32 already. The view is
// valid while `image` lives and is neither resized nor shared; an empty view
// for a null image or on a host whose byte order does not give B, G, R, A.
PixelView pixelViewOf(QImage* image);

}  // namespace velmora
