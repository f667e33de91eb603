#include "picture_file.h"

#include <QBuffer>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QPainter>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "heif_picture.h"
#include "huge_pages.h"
#include "picture.h"
#include "pixel_buffer_adapter.h"
#include "wmf_picture.h"

namespace velmora {

namespace {
// An icon names its entries' count in 16 bits; only the first ones are compared.
constexpr int kMaxIconEntries = 64;
// Enough for every kind's header, a HEIF file's type box included.
constexpr qint64 kHeadBytes = 64 * 1024;

// The decoders show a file cut short as if it were whole (grey, background or
// leftover memory where the data ran out) and report success. The checks below
// walk just enough of each format to see whether the file ends too soon; PNG,
// TIFF, WebP and HEIF need none, their decoders refuse a short file themselves.

quint32 littleEndian(const QByteArray& b, qsizetype at, int bytes) {
    quint32 value = 0;
    for (int k = bytes - 1; k >= 0; --k) value = (value << 8) | quint8(b[at + k]);
    return value;
}

// Uncompressed rows take an exact number of bytes; run-length data states its length.
// `b` holds at least the headers; `fileSize` is the whole file's.
bool bmpCutShort(const QByteArray& b, qint64 fileSize) {
    if (b.size() < 26) return true;
    const qint64 offset = littleEndian(b, 10, 4);
    const quint32 headerSize = littleEndian(b, 14, 4);
    qint64 width, height, bits, compression = 0, dataSize = 0;
    if (headerSize == 12) {
        width = littleEndian(b, 18, 2);
        height = littleEndian(b, 20, 2);
        bits = littleEndian(b, 24, 2);
    } else {
        if (b.size() < 38) return true;
        width = qint32(littleEndian(b, 18, 4));
        height = qint32(littleEndian(b, 22, 4));
        bits = littleEndian(b, 28, 2);
        compression = littleEndian(b, 30, 4);
        dataSize = littleEndian(b, 34, 4);
    }
    const qint64 available = fileSize - offset;
    if (available < 0) return true;
    if (compression == 1 || compression == 2) return available < dataSize;
    const qint64 rowBytes = (std::llabs(width) * bits + 31) / 32 * 4;
    return rowBytes > 0 && std::llabs(height) > available / rowBytes;
}

// Segments carry their length up to each scan, whose coded data runs to the next
// marker that is not a restart; the picture is whole once EOI is reached.
bool jpegCutShort(const QByteArray& b) {
    const qsizetype n = b.size();
    qsizetype i = 2;  // after SOI
    for (;;) {
        while (i < n && quint8(b[i]) != 0xFF) ++i;  // stray bytes, which libjpeg skips too
        while (i < n && quint8(b[i]) == 0xFF) ++i;  // fill bytes
        if (i >= n) return true;
        const quint8 marker = quint8(b[i++]);
        if (marker == 0xD9) return false;
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD8)) continue;
        if (i + 2 > n) return true;
        const qsizetype length = (quint8(b[i]) << 8) | quint8(b[i + 1]);
        if (length < 2 || i + length > n) return true;
        i += length;
        if (marker != 0xDA) continue;
        for (;; ++i) {
            if (i + 1 >= n) return true;
            if (quint8(b[i]) != 0xFF) continue;
            const quint8 next = quint8(b[i + 1]);
            if (next != 0x00 && (next < 0xD0 || next > 0xD7)) break;
            ++i;
        }
    }
}

// Only the first picture is shown: it must be whole, up to its data's end block.
bool gifCutShort(const QByteArray& b) {
    const qsizetype n = b.size();
    if (n < 13) return true;
    qsizetype i = 13;
    const auto skipTable = [&](quint8 flags) {
        if (flags & 0x80) i += 3 * (qsizetype(1) << ((flags & 7) + 1));
    };
    const auto skipSubBlocks = [&] {
        for (;;) {
            if (i >= n) return false;
            const int size = quint8(b[i++]);
            if (size == 0) return true;
            i += size;
        }
    };
    skipTable(quint8(b[10]));
    for (;;) {
        if (i >= n) return true;
        const quint8 block = quint8(b[i++]);
        if (block == 0x21) {
            ++i;  // the extension's label
            if (!skipSubBlocks()) return true;
        } else if (block == 0x2C) {
            if (i + 9 > n) return true;
            const quint8 flags = quint8(b[i + 8]);
            i += 9;
            skipTable(flags);
            ++i;  // the smallest code size
            return !skipSubBlocks();
        } else {
            return false;  // the trailer or damage the decoder judges itself
        }
    }
}

// The directory gives each image's place and length; every one must lie within the file.
bool icoCutShort(const QByteArray& b) {
    if (b.size() < 6) return true;
    const qint64 count = littleEndian(b, 4, 2);
    if (b.size() < 6 + 16 * count) return true;
    for (qint64 k = 0; k < count; ++k) {
        const qint64 length = littleEndian(b, 6 + 16 * k + 8, 4);
        const qint64 offset = littleEndian(b, 6 + 16 * k + 12, 4);
        if (offset + length > b.size()) return true;
    }
    return false;
}

// The whole file, in memory taken in huge pages where the system has them.
QByteArray readWhole(QFile& file) {
    const qint64 size = file.size();
    if (size <= 0) return file.readAll();  // a pipe or a /proc file says no size
    QByteArray bytes(size, Qt::Uninitialized);
    adviseHugePages(bytes.constData(), std::size_t(size));
    const qint64 read = file.read(bytes.data(), size);
    bytes.truncate(qMax<qint64>(read, 0));
    const QByteArray rest = file.readAll();  // the file grew meanwhile
    if (!rest.isEmpty()) bytes += rest;
    return bytes;
}

// `bytes` is the whole file, or for a bitmap at least its headers.
bool cutShort(const QByteArray& bytes, const QByteArray& format, qint64 fileSize) {
    if (format == "bmp") return bmpCutShort(bytes, fileSize);
    if (format == "jpeg" || format == "jpg") return jpegCutShort(bytes);
    if (format == "gif") return gifCutShort(bytes);
    if (format == "ico") return icoCutShort(bytes);
    return false;
}

// The plain 24-bit bitmap (the usual header, no compression), read a megabyte
// at a time straight into the picture: Qt's reader asks the system for each
// row on its own and converts pixel by pixel. Null for any other kind of
// bitmap, or when the file does not hold what its header says; Qt's reader
// then reads it, or says why not. `head` holds at least the headers.
QImage readBmp24(QFile& file, const QByteArray& head) {
    if (head.size() < 54 || littleEndian(head, 14, 4) != 40 || littleEndian(head, 26, 2) != 1 ||
        littleEndian(head, 28, 2) != 24 || littleEndian(head, 30, 4) != 0)
        return {};
    const qint64 offset = littleEndian(head, 10, 4);
    const qint64 width = qint32(littleEndian(head, 18, 4));
    const qint64 height = qint32(littleEndian(head, 22, 4));
    const qint64 rows = std::llabs(height);
    if (width <= 0 || rows == 0 || width * rows > kMaxPicturePixels || offset < 54) return {};
    const qint64 rowBytes = (width * 24 + 31) / 32 * 4;
    if (file.size() < offset + rowBytes * rows) return {};
    const bool bottomUp = height > 0;
    QImage image = hugePageImage(QSize(int(width), int(rows)), QImage::Format_RGB32, bottomUp);
    if (image.isNull()) return {};
    const int rowsPerChunk = int(std::max<qint64>(1, (qint64(1) << 20) / rowBytes));
    std::vector<std::uint8_t> chunk(
        std::size_t(rowBytes) * std::size_t(std::min<qint64>(rowsPerChunk, rows)) + 8);
    if (!file.seek(offset)) return {};
    for (qint64 done = 0; done < rows;) {
        const qint64 n = std::min<qint64>(rowsPerChunk, rows - done);
        if (file.read(reinterpret_cast<char*>(chunk.data()), n * rowBytes) != n * rowBytes)
            return {};
        for (qint64 r = 0; r < n; ++r, ++done) {
            const std::uint8_t* in = chunk.data() + r * rowBytes;
            auto* out = reinterpret_cast<std::uint32_t*>(
                image.scanLine(int(bottomUp ? rows - 1 - done : done)));
            // Four bytes read for three: the chunk's slack covers the last pixel's.
            for (qint64 x = 0; x < width; ++x, in += 3) {
                std::uint32_t v;
                std::memcpy(&v, in, 4);
                out[x] = v | 0xFF000000u;
            }
        }
    }
    image.setDotsPerMeterX(qint32(littleEndian(head, 38, 4)));
    image.setDotsPerMeterY(qint32(littleEndian(head, 42, 4)));
    return image;
}

void putLittleEndian(std::uint8_t* at, std::uint32_t value, int bytes) {
    for (int k = 0; k < bytes; ++k) at[k] = std::uint8_t(value >> (8 * k));
}

// An RGB32 picture as a 24-bit bitmap, byte for byte what Qt's writer makes,
// but converted and written a megabyte at a time: Qt's writer converts pixel by
// pixel and hands each row to the system on its own, a good part of a second
// on a camera photo. Returns an empty string on success, else the reason.
std::string writeBmp24(int fd, const QImage& picture) {
    const int width = picture.width(), height = picture.height();
    const std::size_t rowBytes = (std::size_t(width) * 24 + 31) / 32 * 4;
    const std::uint64_t pixelBytes = std::uint64_t(rowBytes) * std::uint64_t(height);
    constexpr std::uint32_t kHeaders = 14 + 40;
    if (pixelBytes + kHeaders > 0xFFFFFFFFu) return "the picture is too large for a BMP file";
    std::uint8_t header[kHeaders] = {'B', 'M'};
    putLittleEndian(header + 2, std::uint32_t(kHeaders + pixelBytes), 4);
    putLittleEndian(header + 10, kHeaders, 4);
    putLittleEndian(header + 14, 40, 4);
    putLittleEndian(header + 18, std::uint32_t(width), 4);
    putLittleEndian(header + 22, std::uint32_t(height), 4);
    putLittleEndian(header + 26, 1, 2);
    putLittleEndian(header + 28, 24, 2);
    putLittleEndian(header + 34, std::uint32_t(pixelBytes), 4);
    // Qt's writer says 72 dots per inch when the picture gives no resolution.
    constexpr int kDefaultDotsPerMeter = 2834;
    putLittleEndian(
        header + 38,
        std::uint32_t(picture.dotsPerMeterX() ? picture.dotsPerMeterX() : kDefaultDotsPerMeter), 4);
    putLittleEndian(
        header + 42,
        std::uint32_t(picture.dotsPerMeterY() ? picture.dotsPerMeterY() : kDefaultDotsPerMeter), 4);
    if (!convert::writeAll(fd, header, sizeof header)) return std::strerror(errno);
    const int rowsPerChunk = std::max<int>(1, int((std::size_t(1) << 20) / rowBytes));
    std::vector<std::uint8_t> chunk(rowBytes * std::size_t(std::min(rowsPerChunk, height)), 0);
    for (int y = height - 1; y >= 0;) {  // the bottom row comes first
        std::uint8_t* out = chunk.data();
        const int rows = std::min(rowsPerChunk, y + 1);
        for (int r = 0; r < rows; ++r, --y, out += rowBytes) {
            const std::uint8_t* in = picture.constScanLine(y);
            std::uint8_t* o = out;
            int x = 0;
            // Four pixels at a time, two to a 64-bit word: B G R of each, alpha dropped.
            for (; x + 4 <= width; x += 4, in += 16, o += 12) {
                std::uint64_t a, b;
                std::memcpy(&a, in, 8);
                std::memcpy(&b, in + 8, 8);
                a = (a & 0xFFFFFFu) | (a >> 8 & 0xFFFFFF000000u);
                b = (b & 0xFFFFFFu) | (b >> 8 & 0xFFFFFF000000u);
                const std::uint64_t first = a | b << 48;
                const std::uint32_t rest = std::uint32_t(b >> 16);
                std::memcpy(o, &first, 8);
                std::memcpy(o + 8, &rest, 4);
            }
            for (; x < width; ++x, in += 4, o += 3) std::memcpy(o, in, 3);
        }
        if (!convert::writeAll(fd, chunk.data(), std::size_t(out - chunk.data())))
            return std::strerror(errno);
    }
    return {};
}

}  // namespace

QImage readPictureFile(const QString& path, QString* error) {
    const QFileInfo info(path);
    if (!info.exists()) {
        *error = QStringLiteral("File not found: %1").arg(path);
        return {};
    }
    if (info.isDir()) {
        *error = QStringLiteral("%1 is a folder, not a picture.").arg(path);
        return {};
    }
    if (!info.isReadable()) {
        *error = QStringLiteral("Permission denied: %1").arg(path);
        return {};
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("Cannot read %1: %2").arg(path, file.errorString());
        return {};
    }
    QByteArray format;
    {
        // A bitmap is checked from its headers and the file's size: reading it
        // whole would cost a camera photo's size in fresh memory for nothing.
        // Other kinds are read whole for their checks, then let go before
        // decoding, so a large picture is not held twice.
        QByteArray bytes = file.read(kHeadBytes);
        if (bytes.isEmpty()) {
            *error = QStringLiteral("The file %1 is empty.").arg(path);
            return {};
        }
        const qint64 fileSize = file.size();
        const bool other = looksLikeWmf(bytes) || looksLikeHeif(bytes);
        format = other ? QByteArray() : pictureKind(bytes);
        if (!file.atEnd() && (format != "bmp" || fileSize <= 0) && file.seek(0))
            bytes = readWhole(file);
        // Qt reads no metafiles and no HEIF; they are read on their own.
        if (looksLikeWmf(bytes)) return readWmfPicture(bytes, path, error);
        if (looksLikeHeif(bytes)) {
            const QImage image = readHeifPicture(bytes, path, kMaxPicturePixels, error);
            return image.isNull() ? QImage() : flattenOverWhite(image);
        }
        if (format.isEmpty()) {
            *error = QStringLiteral("Invalid picture: %1 (Unsupported image format)").arg(path);
            return {};
        }
        // Before Qt's reader is asked anything: it loads every image plugin first.
        if (format == "bmp") {
            const QImage image = readBmp24(file, bytes);
            if (!image.isNull()) return image;
        }
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::ReadOnly);
        QImageReader probe(&buffer, format);
        const QSize size = probe.size();
        if (size.isValid() && qint64(size.width()) * size.height() > kMaxPicturePixels) {
            *error = QStringLiteral("The picture %1 is too large (%2 x %3 pixels).")
                         .arg(path)
                         .arg(size.width())
                         .arg(size.height());
            return {};
        }
        if (cutShort(bytes, format, format == "bmp" && fileSize > 0 ? fileSize : bytes.size())) {
            *error = QStringLiteral("%1 is incomplete: the file ends before the picture does.")
                         .arg(path);
            return {};
        }
    }
    file.seek(0);
    QImageReader reader(&file, format);
    QImageReader::setAllocationLimit(2048);
    const QImage image = readUpright(reader);
    if (image.isNull()) {
        *error = QStringLiteral("Invalid picture: %1 (%2)").arg(path, reader.errorString());
        return {};
    }
    return flattenOverWhite(image);
}

std::string writePictureTo(int fd, const QImage& picture, const char* format) {
    if (qstricmp(format, "bmp") == 0 && !picture.isNull() &&
        picture.format() == QImage::Format_RGB32)
        return writeBmp24(fd, picture);
    QFile file;
    if (!file.open(fd, QIODevice::WriteOnly, QFileDevice::DontCloseHandle))
        return file.errorString().toStdString();
    const bool encoded = !picture.isNull() && picture.save(&file, format);
    file.close();  // flushes; the descriptor stays open for the caller
    if (file.error() != QFileDevice::NoError) return file.errorString().toStdString();
    return encoded ? std::string() : "the picture cannot be encoded as " + std::string(format);
}

QImage flattenOverWhite(const QImage& image) {
    if (!image.hasAlphaChannel()) return image.convertToFormat(QImage::Format_RGB32);
    QImage flat(image.size(), QImage::Format_RGB32);
    flat.fill(Qt::white);
    QPainter painter(&flat);
    painter.drawImage(0, 0, image);
    return flat;
}

QImage readUpright(QImageReader& reader) {
    // Phones store a portrait sideways and say in the EXIF Orientation how to turn it.
    reader.setAutoTransform(true);
    if (reader.format() != "ico" || reader.imageCount() < 2) {
        // Decoded into memory taken in huge pages: a camera photo otherwise
        // costs a page fault per 4 KB as the decoder writes it.
        QImage image;
        const QSize size = reader.size();
        if (size.isValid() && qint64(size.width()) * size.height() <= kMaxPicturePixels &&
            reader.imageFormat() != QImage::Format_Invalid) {
            image = hugePageImage(size, reader.imageFormat(), reader.format() == "bmp");
        }
        return reader.read(&image) ? image : QImage();
    }
    QImage largest;
    const int count = qMin(reader.imageCount(), kMaxIconEntries);
    for (int index = 0; index < count; ++index) {
        if (!reader.jumpToImage(index)) break;
        const QImage image = reader.read();
        if (!image.isNull() &&
            qint64(image.width()) * image.height() > qint64(largest.width()) * largest.height())
            largest = image;
    }
    return largest;
}

QByteArray pictureKind(const QByteArray& bytes) {
    // Qt's icon reader recognises an icon but gives it no name: its header is
    // exact enough to tell it first (reserved 0, type 1, at least one image).
    if (bytes.size() >= 6 && bytes.startsWith(QByteArray("\0\0\1\0", 4)) &&
        (bytes[4] != 0 || bytes[5] != 0))
        return "ico";
    // A bitmap is told by its signature, as Qt's own reader tells it: asking
    // Qt loads every image plugin first, a good part of a command's start.
    if (bytes.startsWith("BM")) return "bmp";
    static const QList<QByteArray> kKinds = {"bmp", "jpeg", "gif", "png", "tiff", "webp"};
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    const QByteArray format = QImageReader::imageFormat(&buffer);
    return kKinds.contains(format) ? format : QByteArray();
}

bool looksLikePictureFile(const QString& path) {
    static const QStringList kExtensions = {"bmp", "jpg", "jpeg", "jpe",  "gif",  "png", "ico",
                                            "wmf", "tif", "tiff", "webp", "heic", "heif"};
    if (kExtensions.contains(fileExtension(path).toLower())) return true;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return false;
    const QByteArray start = file.read(kHeadBytes);
    return looksLikeWmf(start) || looksLikeHeif(start) || !pictureKind(start).isEmpty();
}

bool isCutShort(const QByteArray& bytes, const QByteArray& format) {
    return cutShort(bytes, format, bytes.size());
}

QString fileExtension(const QString& name) {
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    return dot < 0 ? name : name.mid(dot + 1);
}

bool pathExists(const QString& path) { return !path.isEmpty() && QFileInfo::exists(path); }

}  // namespace velmora
