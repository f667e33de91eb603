#include "settings.h"

#include <QSettings>

#include "error_report.h"

namespace velmora {

namespace {
QSettings store() { return QSettings(QStringLiteral("Korvane"), QStringLiteral("Velmora")); }
QString sectionKey(const QString& key) { return QStringLiteral("Velmora/") + key; }
}  // namespace

QString QtSettingsStore::value(const QString& key, const QString& fallback) const {
    return store().value(sectionKey(key), fallback).toString();
}

void QtSettingsStore::setValue(const QString& key, const QString& value) {
    QSettings settings = store();
    settings.setValue(sectionKey(key), value);
}

bool booleanFromText(const QString& text) {
    const QString t = text.trimmed();
    if (t.compare(QLatin1String("True"), Qt::CaseInsensitive) == 0) return true;
    if (t.compare(QLatin1String("False"), Qt::CaseInsensitive) == 0) return false;
    bool isNumber = false;
    const double number = t.toDouble(&isNumber);
    if (!isNumber) fail(QStringLiteral("Type mismatch"));
    return number != 0.0;
}

QString booleanText(bool value) { return value ? QStringLiteral("True") : QStringLiteral("False"); }

}  // namespace velmora
