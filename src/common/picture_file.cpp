#include "picture_file.h"

#include <QFileInfo>
#include <QImageReader>

namespace velmora {

namespace {
// Refuse pictures whose decoded size would not fit in memory comfortably.
constexpr qint64 kMaxPixels = 400LL * 1000 * 1000;
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
    QImageReader reader(path);
    reader.setAutoTransform(false);
    reader.setDecideFormatFromContent(true);
    const QSize size = reader.size();
    if (size.isValid() && qint64(size.width()) * size.height() > kMaxPixels) {
        *error = QStringLiteral("The picture %1 is too large (%2 x %3 pixels).")
                     .arg(path)
                     .arg(size.width())
                     .arg(size.height());
        return {};
    }
    QImageReader::setAllocationLimit(2048);
    QImage image = reader.read();
    if (image.isNull()) {
        *error = QStringLiteral("Invalid picture: %1 (%2)").arg(path, reader.errorString());
        return {};
    }
    return image.convertToFormat(QImage::Format_RGB32);
}

QString GetExtension(const QString& name) {
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    return dot < 0 ? name : name.mid(dot + 1);
}

bool PathExists(const QString& path) { return !path.isEmpty() && QFileInfo::exists(path); }

}  // namespace velmora
