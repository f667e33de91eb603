// The metafile reader on its own: any bytes, whether they look like a metafile or not.

#include "check_input.h"
#include "reader_check.h"
#include "wmf_picture.h"

namespace velmora_fuzz {

std::string CheckInput(const std::uint8_t* data, std::size_t size) {
    startQt();
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    QString sizeError;
    const QSize claimed = velmora::wmfPictureSize(bytes, "input", &sizeError);
    if (qint64(claimed.width()) * claimed.height() > kMaxFuzzPixels)
        return "skipped: too large to draw here";
    QString error;
    const QImage image = velmora::readWmfPicture(bytes, "input", &error);
    // The size is known before drawing, and the drawing never fails on its own.
    READER_CHECK(image.isNull() == claimed.isEmpty(), error + " / " + sizeError);
    if (!image.isNull()) {
        READER_CHECK(image.size() == claimed, QStringLiteral("not drawn at its size"));
        READER_CHECK(error.isEmpty(), error);
    } else {
        READER_CHECK(error == sizeError, error + " / " + sizeError);
    }
    return account(image, error);
}

}  // namespace velmora_fuzz
