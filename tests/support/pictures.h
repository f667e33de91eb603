#pragma once

#include <QColor>
#include <QImage>
#include <QList>
#include <QPoint>
#include <QString>

namespace velmora::testing {

// A gradient with texture, different for each seed, so a fill has real work to
// do and no decoder's fill colour or leftover memory matches it by chance.
QImage texturedPicture(int width, int height, int seed = 0);

// A picture of one colour.
QImage plainPicture(int width, int height, QColor colour);

// Writes image as a PNG file at path, creating its folder; returns path.
QString writePng(const QString& path, const QImage& image);

// The pixels of image in the mark colour, pure green, in row order.
QList<QPoint> markedPixels(const QImage& image);

}  // namespace velmora::testing
