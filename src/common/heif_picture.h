#pragma once

#include <QByteArray>
#include <QImage>
#include <QSize>
#include <QString>

namespace velmora {

// True when bytes start as a HEIF file (HEIC from a phone, AVIF) that libheif decodes.
bool looksLikeHeif(const QByteArray& bytes);

// The size of a HEIF file's primary picture as readHeifPicture gives it, read
// from the file's boxes without decoding; empty when they cannot be read.
QSize heifPictureSize(const QByteArray& bytes);

// Decodes the primary picture of a HEIF file, upright: the rotation, mirroring
// and cropping the file asks for are applied, as the file's own turn of the
// picture. 8 bits a channel; a picture with transparency keeps its alpha.
// Pictures of more than maxPixels are refused before their data is decoded.
// Returns a null image and sets *error to a sentence starting with name when
// the bytes are damaged, cut short or too large.
QImage readHeifPicture(const QByteArray& bytes, const QString& name, qint64 maxPixels,
                       QString* error);

}  // namespace velmora
