#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace velmora {

// The address width this program runs with: "64" or "32". The converter it
// holds is built for the same place, so this is the width that can run it.
QString addressWidth();

// The resource holding the converter build for an address width: 102 for
// exactly "64", 101 for anything else, when the program holds that build;
// otherwise the build it does hold, so that every answer names one that exists.
int converterResourceId(const QString& addressWidth);

// The bytes of converter resource id. Throws StepFailure if it is missing.
QByteArray converterBytes(int id);

// Writes bytes to path, replacing any file there, and makes it executable by
// its owner only. Throws StepFailure naming the path and the reason.
void writeBytesToFile(const QByteArray& bytes, const QString& path);

// The converter's command line for one save, the program first: format is the
// fixed text "jpeg  -truecolors ", "gif  -dither -colors 256 " or "png  ", whose
// words become arguments of their own.
QStringList converterCommandLine(const QString& converter, const QString& format,
                                 const QString& output, const QString& input);

}  // namespace velmora
