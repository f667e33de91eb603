#pragma once

#include <string>

namespace velmora::convert {

// What a picture file tells about itself besides its pixels, each part as the
// file stores it; an empty part is one the file does not have.
struct PictureMetadata {
    std::string exif;  // EXIF as a TIFF structure (byte-order mark first)
    std::string iptc;  // IPTC records
    std::string xmp;   // the XMP packet, UTF-8
    std::string icc;   // the ICC colour profile

    bool empty() const { return exif.empty() && iptc.empty() && xmp.empty() && icc.empty(); }
};

// Reads the EXIF, IPTC, XMP and ICC profile of the picture file at path (JPEG,
// PNG, TIFF, WebP, ... and the side files of writeMetadataFile). A file that
// holds none, or whose kind carries none (BMP, GIF), gives empty metadata.
// Returns an empty string on success, else the reason.
std::string readMetadata(const std::string& path, PictureMetadata* metadata);

// True when a file of this output format ("jpeg", "jpg", "png", any letter case)
// can hold metadata; BMP and GIF keep none.
bool canHoldMetadata(const std::string& format);

// Writes metadata into the freshly written JPEG or PNG file at path, whose
// picture is width x height pixels with its top row first: the EXIF orientation
// becomes 1, the EXIF thumbnail is left out (it shows the picture before the
// removal) and the pixel dimensions in EXIF and XMP become width and height.
// JPEG gets APP1 EXIF and XMP, APP13 IPTC and APP2 ICC segments; PNG gets eXIf,
// iTXt XMP and iCCP chunks (and IPTC as the usual raw-profile text). The file's
// pixels are not touched. Returns an empty string on success, else the reason.
std::string writeMetadata(const std::string& path, const PictureMetadata& metadata, int width,
                          int height);

// Keeps metadata in a small side file at path that readMetadata reads back
// whole, so a save can hand a loaded picture's metadata to another process.
// Returns an empty string on success, else the reason.
std::string writeMetadataFile(const std::string& path, const PictureMetadata& metadata);

}  // namespace velmora::convert
