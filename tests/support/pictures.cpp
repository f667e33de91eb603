#include "pictures.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>

namespace velmora::testing {

QImage texturedPicture(int width, int height, int seed) {
    QImage image(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            image.setPixel(x, y,
                           qRgb((x * 7 + seed * 31) % 256, (y * 11 + seed * 17) % 256,
                                (x * y + seed * 5) % 200));
    return image;
}

QImage plainPicture(int width, int height, QColor colour) {
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(colour);
    return image;
}

QString writePng(const QString& path, const QImage& image) {
    EXPECT_TRUE(QDir().mkpath(QFileInfo(path).path())) << path.toStdString();
    EXPECT_TRUE(image.save(path, "PNG")) << path.toStdString();
    return path;
}

QList<QPoint> markedPixels(const QImage& image) {
    QList<QPoint> marked;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (image.pixel(x, y) == qRgb(0, 255, 0)) marked << QPoint(x, y);
    return marked;
}

}  // namespace velmora::testing
