#include "converter.h"

#include <QFile>

#include "error_report.h"

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
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        out.write(bytes) != bytes.size() || !out.flush()) {
        fail(QStringLiteral("Cannot write %1: %2").arg(path, out.errorString()));
    }
    out.close();
    if (!out.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner))
        fail(QStringLiteral("Cannot make %1 executable: %2").arg(path, out.errorString()));
}

QStringList converterCommandLine(const QString& converter, const QString& format,
                                 const QString& output, const QString& input) {
    return QStringList{converter, QStringLiteral("-out")} +
           format.split(QLatin1Char(' '), Qt::SkipEmptyParts) +
           QStringList{QStringLiteral("-o"), output, input};
}

}  // namespace velmora
