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

// The converter installed with the program, libexec/velmora/velmora-convert
// beside the bin folder of the running program; empty when there is none (as
// in a build folder).
QString installedConverter();

// A stored converter build held in an anonymous memory file, so that it runs
// without a file of its own in a folder that may forbid running programs (a
// temporary folder mounted noexec). Closed when destroyed.
class ConverterInMemory {
public:
    // Copies bytes into the memory file. isValid() is false when the system
    // offers no such files (the caller then writes a file instead); throws
    // StepFailure when it offers one but refuses the bytes.
    explicit ConverterInMemory(const QByteArray& bytes);
    ~ConverterInMemory();
    ConverterInMemory(const ConverterInMemory&) = delete;
    ConverterInMemory& operator=(const ConverterInMemory&) = delete;

    bool isValid() const { return m_fd >= 0; }
    // The path that runs it, for this process and the programs it starts.
    QString path() const;

private:
    int m_fd = -1;
};

// The converter's command line for one save, the program first: format is the
// fixed text "jpeg  -truecolors ", "gif  -dither -colors 256 " or "png  ", whose
// words become arguments of their own. A metadataFile, when given, comes as
// "-meta" and its path before "-o"; without one the line is the plain one.
QStringList converterCommandLine(const QString& converter, const QString& format,
                                 const QString& output, const QString& input,
                                 const QString& metadataFile = QString());

}  // namespace velmora
