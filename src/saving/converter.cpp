#include "converter.h"

#include <QFile>
#include <QSysInfo>

#include "error_report.h"

namespace velmora {

QString GetAddressWidth() {
    const QString arch = QSysInfo::currentCpuArchitecture();
    return arch.contains(QLatin1String("64")) ? QStringLiteral("64") : QStringLiteral("32");
}

int converterResourceId(const QString& addressWidth) {
    return addressWidth == QLatin1String("64") ? 102 : 101;
}

void ExtractConverter(const QString& path) {
    const int id = converterResourceId(GetAddressWidth());
    QFile resource(QStringLiteral(":/CUSTOM/%1").arg(id));
    if (!resource.open(QIODevice::ReadOnly))
        fail(QStringLiteral("The converter (resource %1) is missing from the program.").arg(id));
    const QByteArray bytes = resource.readAll();
    QFile out(path);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        out.write(bytes) != bytes.size() || !out.flush()) {
        fail(QStringLiteral("Cannot write %1: %2").arg(path, out.errorString()));
    }
    out.close();
    if (!out.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner))
        fail(QStringLiteral("Cannot make %1 executable: %2").arg(path, out.errorString()));
}

QString converterCommandLine(const QString& converter, const QString& format,
                             const QString& output, const QString& input) {
    const QChar q(34);
    return q + converter + q + QStringLiteral(" ") + QStringLiteral(" -out ") + format +
           QStringLiteral(" -o ") + q + output + q + QStringLiteral(" ") + q + input + q;
}

}  // namespace velmora
