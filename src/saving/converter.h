#pragma once

#include <QString>

namespace velmora {

// "64" on a 64-bit system, "32" otherwise.
QString GetAddressWidth();

// The resource holding the converter build for an address width: 102 for
// exactly "64", 101 for anything else.
int converterResourceId(const QString& addressWidth);

// Writes the converter build for this system to path and makes it executable
// by its owner only. Throws StepFailure naming the path and the reason.
void ExtractConverter(const QString& path);

// The converter's arguments for one save, in the fixed form the converter
// expects (doubled and trailing spaces included): format is "jpeg  -truecolors ",
// "gif  -dither -colors 256 " or "png  ".
QString converterCommandLine(const QString& converter, const QString& format,
                             const QString& output, const QString& input);

}  // namespace velmora
