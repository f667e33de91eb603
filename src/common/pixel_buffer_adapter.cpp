#include "pixel_buffer_adapter.h"

#include <QSysInfo>
#include <algorithm>

namespace velmora {

PixelBuffer toPixelBuffer(const QImage& image) {
    if (image.isNull()) return {};
    QImage source = image;
    if (source.format() != QImage::Format_RGB32 && source.format() != QImage::Format_ARGB32)
        source = source.convertToFormat(QImage::Format_ARGB32);
    PixelBuffer buffer(source.width(), source.height());
    // Through QRgb values, so the byte order holds on any host.
    for (int y = 0; y < source.height(); ++y) {
        const QRgb* line = reinterpret_cast<const QRgb*>(source.constScanLine(y));
        std::uint8_t* out = &buffer.bytes[buffer.offset(0, y)];
        for (int x = 0; x < source.width(); ++x) {
            const QRgb v = line[x];
            out[4 * x] = std::uint8_t(qBlue(v));
            out[4 * x + 1] = std::uint8_t(qGreen(v));
            out[4 * x + 2] = std::uint8_t(qRed(v));
            out[4 * x + 3] = std::uint8_t(qAlpha(v));
        }
    }
    return buffer;
}

QImage toQImage(const PixelBuffer& buffer) {
    bool opaque = true;
    for (std::size_t i = 3; i < buffer.bytes.size(); i += 4)
        if (buffer.bytes[i] != 0xFF) {
            opaque = false;
            break;
        }
    QImage image(buffer.width, buffer.height,
                 opaque ? QImage::Format_RGB32 : QImage::Format_ARGB32);
    for (int y = 0; y < buffer.height; ++y) {
        QRgb* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        const std::uint8_t* in = &buffer.bytes[buffer.offset(0, y)];
        for (int x = 0; x < buffer.width; ++x)
            line[x] = qRgba(in[4 * x + 2], in[4 * x + 1], in[4 * x], in[4 * x + 3]);
    }
    return image;
}

void copyToQImage(const PixelView& picture, const PixelRect& rect, QImage* image) {
    const int x0 = std::max(rect.x, 0);
    const int y0 = std::max(rect.y, 0);
    const int x1 = std::min({rect.x + rect.width, picture.width, image->width()});
    const int y1 = std::min({rect.y + rect.height, picture.height, image->height()});
    for (int y = y0; y < y1; ++y) {
        QRgb* line = reinterpret_cast<QRgb*>(image->scanLine(y));
        const std::uint8_t* in = picture.pixel(0, y);
        for (int x = x0; x < x1; ++x)
            line[x] = qRgba(in[4 * x + 2], in[4 * x + 1], in[4 * x], in[4 * x + 3]);
    }
}

PixelView pixelViewOf(QImage* image) {
    if (image->isNull() || QSysInfo::ByteOrder != QSysInfo::LittleEndian) return {};
    if (image->format() != QImage::Format_RGB32 && image->format() != QImage::Format_ARGB32)
        *image = image->convertToFormat(QImage::Format_RGB32);
    // A 32-bit QRgb stored little-endian is exactly B, G, R, A in memory.
    return {image->bits(), image->width(), image->height(), image->bytesPerLine()};
}

}  // namespace velmora
