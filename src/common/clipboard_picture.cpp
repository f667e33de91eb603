#include "clipboard_picture.h"

#include <QBuffer>
#include <QImageReader>
#include <QStringList>

#include "heif_picture.h"
#include "picture_file.h"
#include "wmf_picture.h"

namespace velmora {

namespace {
const QString kName = QStringLiteral("The picture on the clipboard");

bool isWmfFormat(const QString& format) {
    return format == QLatin1String("image/x-wmf") || format == QLatin1String("image/wmf") ||
           format == QLatin1String("application/x-msmetafile");
}

QImage decode(const QByteArray& bytes, const QString& format, QString* error) {
    if (isWmfFormat(format) || looksLikeWmf(bytes)) return readWmfPicture(bytes, kName, error);
    if (looksLikeHeif(bytes)) {
        const QImage image = readHeifPicture(bytes, kName, kMaxPicturePixels, error);
        return image.isNull() ? QImage() : flattenOverWhite(image);
    }
    const QByteArray kind = pictureKind(bytes);
    if (kind.isEmpty()) {
        *error = QStringLiteral("%1 could not be read (Unsupported image format).").arg(kName);
        return {};
    }
    QByteArray copy = bytes;
    QBuffer buffer(&copy);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, kind);
    const QSize size = reader.size();
    if (size.isValid() && qint64(size.width()) * size.height() > kMaxPicturePixels) {
        *error = QStringLiteral("%1 is too large (%2 x %3 pixels).")
                     .arg(kName)
                     .arg(size.width())
                     .arg(size.height());
        return {};
    }
    if (isCutShort(bytes, kind)) {
        *error =
            QStringLiteral("%1 is incomplete: its data ends before the picture does.").arg(kName);
        return {};
    }
    const QImage image = readUpright(reader);
    if (image.isNull()) {
        *error = QStringLiteral("%1 could not be read (%2).").arg(kName, reader.errorString());
        return {};
    }
    return flattenOverWhite(image);
}
}  // namespace

QImage clipboardPicture(const QMimeData& data, QString* error) {
    error->clear();
    QStringList formats;
    const QStringList offered = data.formats();
    if (offered.contains(QLatin1String("image/png"))) formats << QStringLiteral("image/png");
    for (const QString& format : offered)
        if ((format.startsWith(QLatin1String("image/")) || isWmfFormat(format)) &&
            !formats.contains(format))
            formats << format;
    for (const QString& format : formats) {
        const QByteArray bytes = data.data(format);
        if (bytes.isEmpty()) continue;
        const QImage image = decode(bytes, format, error);
        if (!image.isNull()) {
            error->clear();
            return image;
        }
    }
    if (formats.isEmpty() && data.hasImage()) {
        const QImage image = qvariant_cast<QImage>(data.imageData());
        if (!image.isNull()) return flattenOverWhite(image);
        *error = QStringLiteral("%1 could not be read.").arg(kName);
    } else if (!formats.isEmpty() && error->isEmpty()) {
        *error = QStringLiteral("%1 could not be read (no data).").arg(kName);
    }
    return {};
}

}  // namespace velmora
