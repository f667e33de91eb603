// A picture pasted from the clipboard: an offer of up to eight formats, each
// with its own bytes, read by clipboardPicture as the window reads it.
// Input layout: byte 0 picks the formats (bit k offers kFormats[k]),
// the rest is split at each "|VLM|" into the bytes of the picked formats, in order.

#include <QBuffer>
#include <QImageReader>
#include <QMimeData>

#include "check_input.h"
#include "clipboard_picture.h"
#include "heif_picture.h"
#include "reader_check.h"
#include "wmf_picture.h"

namespace velmora_fuzz {

namespace {
const QByteArray kSeparator("|VLM|");
const char* const kFormats[] = {"image/png",  "image/bmp",   "image/jpeg",
                                "image/gif",  "image/x-wmf", "image/vnd.microsoft.icon",
                                "image/webp", "image/heic"};
}  // namespace

std::string CheckInput(const std::uint8_t* data, std::size_t size) {
    startQt();
    if (size == 0) return "empty";
    const QByteArray rest(reinterpret_cast<const char*>(data) + 1, qsizetype(size - 1));
    QList<QByteArray> payloads;
    for (qsizetype from = 0;;) {
        const qsizetype to = rest.indexOf(kSeparator, from);
        payloads << rest.mid(from, to < 0 ? -1 : to - from);
        if (to < 0) break;
        from = to + kSeparator.size();
    }

    QMimeData offer;
    std::string offered;
    qsizetype next = 0;
    for (int k = 0; k < 8 && next < payloads.size(); ++k) {
        if (!(data[0] & (1 << k))) continue;
        const QByteArray& bytes = payloads[next++];
        // Too large a claimed size is legal but left out here, as for files.
        QString ignored;
        QSize claimed = velmora::wmfPictureSize(bytes, "input", &ignored);
        const bool wmf = velmora::looksLikeWmf(bytes) ||
                         QLatin1String(kFormats[k]) == QLatin1String("image/x-wmf");
        if (!wmf && velmora::looksLikeHeif(bytes)) {
            claimed = velmora::heifPictureSize(bytes);
        } else if (!wmf) {
            QBuffer buffer;
            buffer.setData(bytes);
            buffer.open(QIODevice::ReadOnly);
            claimed = QImageReader(&buffer).size();
        }
        if (qint64(claimed.width()) * claimed.height() > kMaxFuzzPixels)
            return "skipped: too large";
        offer.setData(QString::fromLatin1(kFormats[k]), bytes);
        offered += std::string(kFormats[k]) + " ";
    }
    QString error;
    const QImage image = velmora::clipboardPicture(offer, &error);
    if (offered.empty()) {
        READER_CHECK(image.isNull() && error.isEmpty(), error);
        return "nothing offered";
    }
    return offered + account(image, error);
}

}  // namespace velmora_fuzz
