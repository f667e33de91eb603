#pragma once

#include <QByteArray>
#include <QImage>
#include <QSize>
#include <QString>

namespace velmora {

// True when bytes start as a Windows metafile: the placeable key 9AC6CDD7, or
// a standard header (type 1 or 2, nine header words, version 0x0100 or 0x0300).
bool looksLikeWmf(const QByteArray& bytes);

// The picture size of a metafile, before any drawing:
// - placeable: its bounding box in units per inch, turned into 0.01 mm and
//   divided by 26.46 as for every other picture kind;
// - otherwise: its window extent (the first SetWindowExt record) at 96 dpi, in
//   the units of the mapping mode set before it when that is a fixed one
//   (0.1 mm, 0.01 mm, 0.01 in, 0.001 in, twips); in twips when a side is larger
//   than 1920 units, as office programs and equation editors write them;
//   otherwise in pixels.
// Returns an empty size and sets *error when the file is cut off or malformed
// (a header larger than the file, a record running past the end, no end
// record) or states no size. name is the file's name for the message.
QSize wmfPictureSize(const QByteArray& bytes, const QString& name, QString* error);

// Draws a metafile on white at wmfPictureSize. Returns a Format_RGB32 image,
// or a null image and *error naming the reason.
QImage readWmfPicture(const QByteArray& bytes, const QString& name, QString* error);

}  // namespace velmora
