// The picture reader, as the window and velmora-erase call it: the bytes become
// a file, read by readPictureFile with its own checks for files cut short.

#include <QBuffer>
#include <QFile>
#include <QImageReader>
#include <QTemporaryDir>

#include "check_input.h"
#include "heif_picture.h"
#include "picture_file.h"
#include "reader_check.h"
#include "wmf_picture.h"

namespace velmora_fuzz {

std::string CheckInput(const std::uint8_t* data, std::size_t size) {
    startQt();
    static QTemporaryDir folder;
    READER_CHECK(folder.isValid(), folder.errorString());
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));

    QString ignored;
    QSize claimed = velmora::wmfPictureSize(bytes, "input", &ignored);
    if (velmora::looksLikeHeif(bytes)) {
        claimed = velmora::heifPictureSize(bytes);
    } else if (!velmora::looksLikeWmf(bytes)) {
        QBuffer buffer;
        buffer.setData(bytes);
        buffer.open(QIODevice::ReadOnly);
        claimed = QImageReader(&buffer).size();
    }
    if (qint64(claimed.width()) * claimed.height() > kMaxFuzzPixels)
        return "skipped: too large to decode here";

    const QString path = folder.filePath("input");
    QFile file(path);
    READER_CHECK(
        file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size(),
        file.errorString());
    file.close();
    QString error;
    const QImage image = velmora::readPictureFile(path, &error);
    if (!image.isNull()) READER_CHECK(error.isEmpty(), error);
    if (!image.isNull() && velmora::looksLikeWmf(bytes))
        READER_CHECK(image.size() == claimed, QStringLiteral("not drawn at the metafile's size"));
    return account(image, error);
}

}  // namespace velmora_fuzz
