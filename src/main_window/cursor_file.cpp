#include "cursor_file.h"

#include <QFile>
#include <QImage>
#include <QPixmap>
#include <QtEndian>

namespace velmora {

std::optional<QCursor> readCursorFile(const QString& path, QString* error) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("Cannot open %1: %2").arg(path, file.errorString());
        return std::nullopt;
    }
    QByteArray data = file.read(4 * 1024 * 1024);
    // A cursor file is an icon file with type 2 and the hot spot where an
    // icon keeps its planes and bit count.
    if (data.size() < 22 || qFromLittleEndian<quint16>(data.constData() + 2) != 2) {
        *error = QStringLiteral("Invalid picture: %1 is not a cursor file").arg(path);
        return std::nullopt;
    }
    const int hotX = qFromLittleEndian<quint16>(data.constData() + 10);
    const int hotY = qFromLittleEndian<quint16>(data.constData() + 12);
    qToLittleEndian<quint16>(1, data.data() + 2);
    qToLittleEndian<quint16>(1, data.data() + 10);
    qToLittleEndian<quint16>(32, data.data() + 12);
    const QImage image = QImage::fromData(data, "ICO");
    if (image.isNull()) {
        *error = QStringLiteral("Invalid picture: %1").arg(path);
        return std::nullopt;
    }
    return QCursor(QPixmap::fromImage(image), hotX, hotY);
}

}  // namespace velmora
