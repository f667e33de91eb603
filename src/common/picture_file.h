#pragma once

#include <QImage>
#include <QImageReader>
#include <QString>
#include <string>

namespace velmora {

// Pictures of more pixels are refused before decoding: they would not fit in
// memory comfortably.
constexpr qint64 kMaxPicturePixels = 400LL * 1000 * 1000;

// Reads a picture file (BMP, JPEG, GIF, PNG, ICO, WMF, TIFF, WebP, HEIC/HEIF)
// at its natural size, recognised by its content whatever its name. The
// picture is turned upright as its EXIF orientation (or HEIF rotation) asks;
// an icon gives its largest image. Returns a null image and sets *error to a
// sentence naming the file and the reason when it cannot be read. The result
// is Format_RGB32, composed over white.
QImage readPictureFile(const QString& path, QString* error);

// Encodes `picture` in `format` (a Qt image format name) straight into the open
// file `fd`, which stays open: a camera photo is not held encoded in memory
// first. Returns an empty string on success, else the reason.
std::string writePictureTo(int fd, const QImage& picture, const char* format);

// The picture reader's picture, upright and, for an icon holding several sizes,
// the largest. Null when the reader fails; reader.errorString() says why.
QImage readUpright(QImageReader& reader);

// The kind of picture bytes begin with, as QImageReader names it: "bmp", "jpeg",
// "gif", "png", "ico", "tiff" or "webp"; empty for anything else. Other kinds Qt
// may read (TGA, WBMP, ...) are left out: they would take stray bytes for a picture.
QByteArray pictureKind(const QByteArray& bytes);

// True when path names a picture to load: its extension is one of the kinds
// read (bmp, jpg, jpeg, jpe, gif, png, ico, wmf, tif, tiff, webp, heic, heif,
// in any letter case), or, under any other name, its first bytes are those of
// a picture of a kind read.
bool looksLikePictureFile(const QString& path);

// The picture as RGB32, transparent and translucent pixels composed over white,
// the colour of the empty view.
QImage flattenOverWhite(const QImage& image);

// True when bytes of the given format (as QImageReader names it: "bmp",
// "jpeg", "gif", ...) end before their picture does. Formats it does not walk
// are left to their decoder: false.
bool isCutShort(const QByteArray& bytes, const QByteArray& format);

// The text after the last "." of name; the whole name when it has no ".".
QString fileExtension(const QString& name);

// True when path names an existing file or folder.
bool pathExists(const QString& path);

}  // namespace velmora
