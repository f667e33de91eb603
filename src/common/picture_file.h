#pragma once

#include <QImage>
#include <QString>

namespace velmora {

// Reads a picture file (BMP, JPEG, GIF, PNG, ICO, ...) at its natural size.
// Returns a null image and sets *error to a sentence naming the reason when
// the file cannot be read. The result is Format_RGB32, composed over white.
QImage readPictureFile(const QString& path, QString* error);

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
