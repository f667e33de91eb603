#pragma once

#include <QCursor>
#include <QString>
#include <optional>

namespace velmora {

// Reads a Windows cursor (.cur) file: the first image and its hot spot.
std::optional<QCursor> readCursorFile(const QString& path, QString* error);

}  // namespace velmora
