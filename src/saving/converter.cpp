#include "converter.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstring>

#include "error_report.h"
#include "picture.h"

// Kernels that can forbid running memory files (vm.memfd_noexec) ask for this flag.
#ifndef MFD_EXEC
#define MFD_EXEC 0x0010U
#endif

namespace velmora {

namespace {

QString resourcePath(int id) { return QStringLiteral(":/CUSTOM/%1").arg(id); }

}  // namespace

QString addressWidth() { return QString::number(QT_POINTER_SIZE * 8); }

int converterResourceId(const QString& addressWidth) {
    const int id = addressWidth == QLatin1String("64") ? 102 : 101;
    if (QFile::exists(resourcePath(id))) return id;
    // Only the build made with the program is stored; it runs wherever the program does.
    return id == 102 ? 101 : 102;
}

QByteArray converterBytes(int id) {
    QFile resource(resourcePath(id));
    if (!resource.open(QIODevice::ReadOnly))
        fail(QStringLiteral("The converter (resource %1) is missing from the program.").arg(id));
    return resource.readAll();
}

void writeBytesToFile(const QByteArray& bytes, const QString& path) {
    QFile out(path);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) || out.write(bytes) != bytes.size() ||
        !out.flush()) {
        fail(QStringLiteral("Cannot write %1: %2").arg(path, out.errorString()));
    }
    out.close();
    if (!out.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner))
        fail(QStringLiteral("Cannot make %1 executable: %2").arg(path, out.errorString()));
}

QString installedConverter() {
    const QString path = QDir::cleanPath(QCoreApplication::applicationDirPath() +
                                         QStringLiteral("/../libexec/velmora/velmora-convert"));
    const QFileInfo info(path);
    return info.isFile() && info.isExecutable() ? path : QString();
}

ConverterInMemory::ConverterInMemory(const QByteArray& bytes) {
    int fd = ::memfd_create("velmora-convert", MFD_CLOEXEC | MFD_EXEC);
    if (fd < 0 && errno == EINVAL)  // a kernel older than the flag
        fd = ::memfd_create("velmora-convert", MFD_CLOEXEC);
    if (fd < 0) return;
    if (!convert::writeAll(fd, reinterpret_cast<const uint8_t*>(bytes.constData()),
                           size_t(bytes.size()))) {
        const int error = errno;
        ::close(fd);
        fail(QStringLiteral("Cannot write the converter into memory: %1")
                 .arg(QString::fromLocal8Bit(std::strerror(error))));
    }
    // A file open for writing cannot be run ("Text file busy"): keep a
    // read-only descriptor of it and close the writable one.
    const QByteArray self = "/proc/self/fd/" + QByteArray::number(fd);
    m_fd = ::open(self.constData(), O_RDONLY | O_CLOEXEC);
    ::close(fd);
}

ConverterInMemory::~ConverterInMemory() {
    if (m_fd >= 0) ::close(m_fd);
}

// The program started from it opens the file before its descriptors close.
QString ConverterInMemory::path() const { return QStringLiteral("/proc/self/fd/%1").arg(m_fd); }

QStringList converterCommandLine(const QString& converter, const QString& format,
                                 const QString& output, const QString& input,
                                 const QString& metadataFile) {
    QStringList line = QStringList{converter, QStringLiteral("-out")} +
                       format.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (!metadataFile.isEmpty()) line << QStringLiteral("-meta") << metadataFile;
    return line + QStringList{QStringLiteral("-o"), output, input};
}

}  // namespace velmora
