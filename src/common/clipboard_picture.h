#pragma once

#include <QImage>
#include <QMimeData>
#include <QString>

namespace velmora {

// The picture a clipboard offer holds. The bytes of each image format offered
// are tried in turn, PNG first, the rest in the order offered (a metafile, a
// HEIF too), each decoded within the same pixel limit and end checks as picture
// files and turned upright as they are. A picture that this program put there
// itself, with no bytes offered, is taken as it is. Transparent parts are
// composed over white before anything else, so their hidden colour never shows.
// Returns Format_RGB32, or a null image: *error then names the reason, or is
// empty when the offer holds no picture at all.
QImage clipboardPicture(const QMimeData& data, QString* error);

}  // namespace velmora
