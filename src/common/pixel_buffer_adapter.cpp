#include "pixel_buffer_adapter.h"

#include <QColorSpace>
#include <QSysInfo>
#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "huge_pages.h"

namespace velmora {

namespace {

// A 32-bit QRgb stored little-endian is exactly B, G, R, A in memory, so rows
// of RGB32 and ARGB32 pictures pass to and from the engine's layout unchanged.
constexpr bool kRgbIsBgra = QSysInfo::ByteOrder == QSysInfo::LittleEndian;

bool isEngineLayout(QImage::Format format) {
    return format == QImage::Format_RGB32 || format == QImage::Format_ARGB32;
}

// Writes x0..x1-1 of an engine row into a QImage row.
void copyRow(const std::uint8_t* in, int x0, int x1, QRgb* line) {
    if (kRgbIsBgra) {
        std::memcpy(line + x0, in + 4 * std::ptrdiff_t(x0), std::size_t(x1 - x0) * 4u);
        return;
    }
    for (int x = x0; x < x1; ++x)
        line[x] = qRgba(in[4 * x + 2], in[4 * x + 1], in[4 * x], in[4 * x + 3]);
}

}  // namespace

PixelBuffer toPixelBuffer(const QImage& image) {
    if (image.isNull()) return {};
    QImage source = image;
    if (!isEngineLayout(source.format())) source = source.convertToFormat(QImage::Format_ARGB32);
    PixelBuffer buffer;
    buffer.width = source.width();
    buffer.height = source.height();
    const std::size_t rowBytes = std::size_t(buffer.width) * 4u;
    // Appended row by row, so the bytes are written once and never zeroed first.
    buffer.bytes.reserve(rowBytes * std::size_t(buffer.height));
    for (int y = 0; y < source.height(); ++y) {
        const uchar* line = source.constScanLine(y);
        if (kRgbIsBgra) {
            buffer.bytes.insert(buffer.bytes.end(), line, line + rowBytes);
            continue;
        }
        // Through QRgb values, so the byte order holds on any host.
        const QRgb* pixels = reinterpret_cast<const QRgb*>(line);
        for (int x = 0; x < source.width(); ++x) {
            const QRgb v = pixels[x];
            const std::uint8_t bgra[4] = {std::uint8_t(qBlue(v)), std::uint8_t(qGreen(v)),
                                          std::uint8_t(qRed(v)), std::uint8_t(qAlpha(v))};
            buffer.bytes.insert(buffer.bytes.end(), bgra, bgra + 4);
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
    for (int y = 0; y < buffer.height; ++y)
        copyRow(buffer.bytes.data() + buffer.offset(0, y), 0, buffer.width,
                reinterpret_cast<QRgb*>(image.scanLine(y)));
    return image;
}

void copyToQImage(const PixelView& picture, const PixelRect& rect, QImage* image) {
    const int x0 = std::max(rect.x, 0);
    const int y0 = std::max(rect.y, 0);
    const int x1 = std::min({rect.x + rect.width, picture.width, image->width()});
    const int y1 = std::min({rect.y + rect.height, picture.height, image->height()});
    if (x1 <= x0) return;
    for (int y = y0; y < y1; ++y)
        copyRow(picture.pixel(0, y), x0, x1, reinterpret_cast<QRgb*>(image->scanLine(y)));
}

namespace {

// The memory under a hugePageImage: whole huge pages, and the thread faulting
// them in, which must stop before the memory goes.
struct HugePageBlock {
    void* memory = nullptr;
    std::unique_ptr<BackgroundPrefault> prefault;
};

void freeHugePageBlock(void* info) {
    auto* block = static_cast<HugePageBlock*>(info);
    block->prefault.reset();
    ::operator delete(block->memory, std::align_val_t(kHugePageBytes));
    delete block;
}

}  // namespace

QImage hugePageImage(QSize size, QImage::Format format, bool writtenFromBottom) {
    const int depth = QImage::toPixelFormat(format).bitsPerPixel();
    if (size.isEmpty() || format == QImage::Format_Invalid || depth <= 0)
        return QImage(size, format);
    // Rows as QImage lays them out itself: each a whole number of 32-bit words.
    const qint64 rowBytes = (qint64(size.width()) * depth + 31) / 32 * 4;
    const qint64 bytes = rowBytes * size.height();
    if (bytes / size.height() != rowBytes || bytes > qint64(1) << 40) return QImage(size, format);
    auto block = std::make_unique<HugePageBlock>();
    const std::size_t whole =
        (std::size_t(bytes) + kHugePageBytes - 1) / kHugePageBytes * kHugePageBytes;
    block->memory = ::operator new(whole, std::align_val_t(kHugePageBytes), std::nothrow);
    if (block->memory == nullptr) return QImage(size, format);
    adviseHugePages(block->memory, whole);
    block->prefault =
        std::make_unique<BackgroundPrefault>(block->memory, std::size_t(bytes), writtenFromBottom);
    auto* data = static_cast<uchar*>(block->memory);
    HugePageBlock* info = block.get();
    QImage image(data, size.width(), size.height(), rowBytes, format, freeHugePageBlock, info);
    if (image.isNull()) {
        freeHugePageBlock(block.release());
        return QImage(size, format);
    }
    block.release();  // the image's cleanup frees it
    return image;
}

void detachIntoHugePages(QImage* image) {
    if (image->isNull() || image->isDetached()) return;
    QImage copy = hugePageImage(image->size(), image->format());
    if (copy.isNull()) return;  // QImage's own copy on write reports it
    const qsizetype rowBytes = qMin(image->bytesPerLine(), copy.bytesPerLine());
    for (int y = 0; y < image->height(); ++y)
        std::memcpy(copy.scanLine(y), image->constScanLine(y), std::size_t(rowBytes));
    copy.setColorTable(image->colorTable());
    copy.setDotsPerMeterX(image->dotsPerMeterX());
    copy.setDotsPerMeterY(image->dotsPerMeterY());
    copy.setOffset(image->offset());
    copy.setDevicePixelRatio(image->devicePixelRatio());
    copy.setColorSpace(image->colorSpace());
    for (const QString& key : image->textKeys()) copy.setText(key, image->text(key));
    *image = copy;
}

PixelView pixelViewOf(QImage* image) {
    if (image->isNull() || !kRgbIsBgra) return {};
    if (!isEngineLayout(image->format())) *image = image->convertToFormat(QImage::Format_RGB32);
    detachIntoHugePages(image);
    return {image->bits(), image->width(), image->height(), image->bytesPerLine()};
}

}  // namespace velmora
