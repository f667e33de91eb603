#include "metadata.h"

#include <fcntl.h>
#include <libdeflate.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <exiv2/exiv2.hpp>
#include <iterator>
#include <mutex>
#include <vector>

#include "picture.h"

namespace velmora::convert {
namespace {

// Exiv2's own notes on odd files go to stderr and would break a tool's one-line
// error report; its XMP toolkit must be set up once before any use.
void prepareExiv2() {
    static std::once_flag once;
    std::call_once(once, [] {
        Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
        Exiv2::XmpParser::initialize();
    });
}

std::string bytesOf(const Exiv2::DataBuf& buffer) {
    return buffer.size_ > 0
               ? std::string(reinterpret_cast<const char*>(buffer.pData_), size_t(buffer.size_))
               : std::string();
}

Exiv2::DataBuf bufferOf(const std::string& bytes) {
    return Exiv2::DataBuf(reinterpret_cast<const Exiv2::byte*>(bytes.data()), long(bytes.size()));
}

// Sets key to value only where the metadata already has it.
template <typename Data, typename Key, typename Value>
void updateIfPresent(Data& data, const Key& key, const Value& value) {
    auto it = data.findKey(key);
    if (it != data.end()) *it = value;
}

// The EXIF for the written picture: upright, without the old thumbnail, with the
// new size. Returns the byte order it was stored in, for writing it back alike.
Exiv2::ByteOrder fitExif(const std::string& blob, int width, int height, Exiv2::ExifData* exif) {
    const Exiv2::ByteOrder order = Exiv2::ExifParser::decode(
        *exif, reinterpret_cast<const Exiv2::byte*>(blob.data()), uint32_t(blob.size()));
    for (auto it = exif->begin(); it != exif->end();)
        it = it->groupName() == "Thumbnail" ? exif->erase(it) : std::next(it);
    updateIfPresent(*exif, Exiv2::ExifKey("Exif.Image.Orientation"), uint16_t(1));
    updateIfPresent(*exif, Exiv2::ExifKey("Exif.Image.ImageWidth"), uint32_t(width));
    updateIfPresent(*exif, Exiv2::ExifKey("Exif.Image.ImageLength"), uint32_t(height));
    (*exif)["Exif.Photo.PixelXDimension"] = uint32_t(width);
    (*exif)["Exif.Photo.PixelYDimension"] = uint32_t(height);
    return order == Exiv2::invalidByteOrder ? Exiv2::bigEndian : order;
}

// The XMP packet with the same corrections, rewritten only when it has one to make.
std::string fitXmp(const std::string& packet, int width, int height) {
    Exiv2::XmpData xmp;
    if (Exiv2::XmpParser::decode(xmp, packet) != 0) return packet;
    const char* const kSized[] = {"Xmp.tiff.Orientation", "Xmp.tiff.ImageWidth",
                                  "Xmp.tiff.ImageLength", "Xmp.exif.PixelXDimension",
                                  "Xmp.exif.PixelYDimension"};
    bool changes = false;
    for (const char* key : kSized) changes |= xmp.findKey(Exiv2::XmpKey(key)) != xmp.end();
    if (!changes) return packet;
    updateIfPresent(xmp, Exiv2::XmpKey("Xmp.tiff.Orientation"), std::string("1"));
    updateIfPresent(xmp, Exiv2::XmpKey("Xmp.tiff.ImageWidth"), std::to_string(width));
    updateIfPresent(xmp, Exiv2::XmpKey("Xmp.tiff.ImageLength"), std::to_string(height));
    updateIfPresent(xmp, Exiv2::XmpKey("Xmp.exif.PixelXDimension"), std::to_string(width));
    updateIfPresent(xmp, Exiv2::XmpKey("Xmp.exif.PixelYDimension"), std::to_string(height));
    std::string out;
    return Exiv2::XmpParser::encode(out, xmp) == 0 ? out : packet;
}

void appendBigEndian(std::string* out, uint32_t value) {
    const char bytes[4] = {char(value >> 24), char(value >> 16), char(value >> 8), char(value)};
    out->append(bytes, 4);
}

void appendChunk(std::string* out, const char* type, const std::string& data) {
    appendBigEndian(out, uint32_t(data.size()));
    const size_t start = out->size();
    out->append(type, 4);
    out->append(data);
    appendBigEndian(out, libdeflate_crc32(0, out->data() + start, out->size() - start));
}

std::string zlibCompress(const std::string& data) {
    libdeflate_compressor* compressor = libdeflate_alloc_compressor(9);
    if (!compressor) throw std::bad_alloc();
    std::string out(libdeflate_zlib_compress_bound(compressor, data.size()), '\0');
    out.resize(
        libdeflate_zlib_compress(compressor, data.data(), data.size(), out.data(), out.size()));
    libdeflate_free_compressor(compressor);
    return out;
}

std::string systemReason() { return std::strerror(errno); }

// PNG keeps its metadata in chunks placed right after the header chunk IHDR,
// ahead of the pixels: iCCP, eXIf and an iTXt XMP packet.
std::string writePngMetadata(const std::string& path, const std::string& icc,
                             const std::string& exif, const std::string& xmp) {
    std::string chunks;
    if (!icc.empty()) {
        // Name, terminator, compression method 0 (zlib), the compressed profile.
        std::string data("ICC Profile\0\0", 13);
        data += zlibCompress(icc);
        appendChunk(&chunks, "iCCP", data);
    }
    if (!exif.empty()) appendChunk(&chunks, "eXIf", exif);
    if (!xmp.empty()) {
        // Keyword, terminator, uncompressed, no language, no translated keyword.
        std::string data("XML:com.adobe.xmp\0\0\0\0\0", 22);
        data += xmp;
        appendChunk(&chunks, "iTXt", data);
    }
    if (chunks.empty()) return {};

    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return systemReason();
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        const std::string why = systemReason();
        ::close(fd);
        return why;
    }
    // The signature (8 bytes) and IHDR (25) stay; the chunks go in after them.
    constexpr size_t kHead = 33;
    std::vector<uint8_t> file(size_t(st.st_size));
    if (file.size() < kHead || ::pread(fd, file.data(), file.size(), 0) != ssize_t(file.size()) ||
        std::memcmp(file.data() + 12, "IHDR", 4) != 0) {
        ::close(fd);
        return "it is not a PNG file as written here";
    }
    const bool ok = ::lseek(fd, kHead, SEEK_SET) == off_t(kHead) &&
                    writeAll(fd, reinterpret_cast<const uint8_t*>(chunks.data()), chunks.size()) &&
                    writeAll(fd, file.data() + kHead, file.size() - kHead);
    const std::string why = ok ? std::string() : systemReason();
    return ::close(fd) == 0 || !ok ? why : systemReason();
}

// Gives image exactly these EXIF, IPTC, XMP and ICC parts and writes them out.
void storeMetadata(Exiv2::Image& image, const Exiv2::ExifData& exif, const std::string& iptcBytes,
                   const std::string& xmp, const std::string& iccBytes) {
    image.setExifData(exif);
    Exiv2::IptcData iptc;
    if (!iptcBytes.empty())
        Exiv2::IptcParser::decode(iptc, reinterpret_cast<const Exiv2::byte*>(iptcBytes.data()),
                                  uint32_t(iptcBytes.size()));
    image.setIptcData(iptc);
    image.setXmpPacket(xmp);
    image.writeXmpFromPacket(true);
    if (!iccBytes.empty()) {
        Exiv2::DataBuf icc = bufferOf(iccBytes);
        image.setIccProfile(icc, false);
    }
    image.writeMetadata();
}

}  // namespace

std::string readMetadata(const std::string& path, PictureMetadata* metadata) {
    prepareExiv2();
    *metadata = {};
    try {
        // Kinds Exiv2 does not know (ICO, WMF) hold nothing it could keep.
        if (Exiv2::ImageFactory::getType(path) == Exiv2::ImageType::none) return {};
        auto image = Exiv2::ImageFactory::open(path, false);
        image->readMetadata();
        if (!image->exifData().empty()) {
            Exiv2::Blob blob;
            Exiv2::ExifParser::encode(blob,
                                      image->byteOrder() == Exiv2::invalidByteOrder
                                          ? Exiv2::bigEndian
                                          : image->byteOrder(),
                                      image->exifData());
            metadata->exif.assign(blob.begin(), blob.end());
        }
        if (!image->iptcData().empty())
            metadata->iptc = bytesOf(Exiv2::IptcParser::encode(image->iptcData()));
        metadata->xmp = image->xmpPacket();
        if (metadata->xmp.empty() && !image->xmpData().empty())
            Exiv2::XmpParser::encode(metadata->xmp, image->xmpData());
        if (image->iccProfileDefined()) metadata->icc = bytesOf(*image->iccProfile());
    } catch (const std::exception& e) {
        *metadata = {};
        return e.what();
    }
    return {};
}

bool canHoldMetadata(const std::string& format) {
    std::string f;
    for (char ch : format) f += char(ch >= 'A' && ch <= 'Z' ? ch - 'A' + 'a' : ch);
    return f == "jpeg" || f == "jpg" || f == "png";
}

std::string writeMetadata(const std::string& path, const PictureMetadata& metadata, int width,
                          int height) {
    prepareExiv2();
    if (metadata.empty()) return {};
    try {
        Exiv2::ExifData exif;
        Exiv2::ByteOrder order = Exiv2::bigEndian;
        if (!metadata.exif.empty()) order = fitExif(metadata.exif, width, height, &exif);
        const std::string xmp =
            metadata.xmp.empty() ? std::string() : fitXmp(metadata.xmp, width, height);

        const int type = Exiv2::ImageFactory::getType(path);
        if (type == Exiv2::ImageType::png) {
            Exiv2::Blob blob;
            if (!exif.empty()) Exiv2::ExifParser::encode(blob, order, exif);
            return writePngMetadata(path, metadata.icc, std::string(blob.begin(), blob.end()), xmp);
        }
        if (type != Exiv2::ImageType::jpeg) return "only JPEG and PNG files can hold metadata";
        auto image = Exiv2::ImageFactory::open(path, false);
        image->readMetadata();
        image->setByteOrder(order);
        storeMetadata(*image, exif, metadata.iptc, xmp, metadata.icc);
    } catch (const std::exception& e) {
        return e.what();
    }
    return {};
}

std::string writeMetadataFile(const std::string& path, const PictureMetadata& metadata) {
    prepareExiv2();
    try {
        auto image = Exiv2::ImageFactory::create(Exiv2::ImageType::exv, path);
        Exiv2::ExifData exif;
        if (!metadata.exif.empty())
            Exiv2::ExifParser::decode(exif,
                                      reinterpret_cast<const Exiv2::byte*>(metadata.exif.data()),
                                      uint32_t(metadata.exif.size()));
        storeMetadata(*image, exif, metadata.iptc, metadata.xmp, metadata.icc);
    } catch (const std::exception& e) {
        return e.what();
    }
    return {};
}

}  // namespace velmora::convert
