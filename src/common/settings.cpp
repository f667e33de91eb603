#include "settings.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>
#include <cstdio>

#include "error_report.h"

namespace velmora {

namespace {
QString sectionKey(const QString& key) { return QStringLiteral("Velmora/") + key; }

// Why path cannot be written, in the system's words.
QString whyNotWritable(const QString& path) {
    const QString folder = QFileInfo(path).absolutePath();
    if (!QDir().mkpath(folder)) return QStringLiteral("cannot create the folder %1").arg(folder);
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite)) return file.errorString();
    return QStringLiteral("the file cannot be replaced");
}
}  // namespace

QString settingsFilePath() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/velmora/velmora.conf");
}

QString formerSettingsFilePath() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/Korvane/Velmora.conf");
}

QtSettingsStore::QtSettingsStore()
    : m_settings(std::make_unique<QSettings>(settingsFilePath(), QSettings::IniFormat)) {
    if (QFileInfo::exists(settingsFilePath()) || !QFileInfo::exists(formerSettingsFilePath()))
        return;
    const QSettings former(formerSettingsFilePath(), QSettings::IniFormat);
    for (const QString& key : former.allKeys()) m_settings->setValue(key, former.value(key));
    m_settings->sync();
}

QtSettingsStore::~QtSettingsStore() = default;

QString QtSettingsStore::value(const QString& key, const QString& fallback) const {
    return m_settings->value(sectionKey(key), fallback).toString();
}

void QtSettingsStore::setValue(const QString& key, const QString& value) {
    m_settings->setValue(sectionKey(key), value);
    m_settings->sync();
    if (m_settings->status() == QSettings::NoError || m_saidCannotWrite) return;
    m_saidCannotWrite = true;
    std::fprintf(stderr, "velmora: warning: the settings cannot be kept in %s: %s\n",
                 qPrintable(QDir::toNativeSeparators(settingsFilePath())),
                 qPrintable(whyNotWritable(settingsFilePath())));
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
