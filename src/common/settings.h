#pragma once

#include <QString>
#include <memory>

class QSettings;

namespace velmora {

// The per-user settings store: keys of the section "Velmora".
class SettingsStore {
public:
    virtual ~SettingsStore() = default;
    // The stored text of key, or fallback when the key is absent.
    virtual QString value(const QString& key, const QString& fallback) const = 0;
    virtual void setValue(const QString& key, const QString& value) = 0;
};

// The settings file of the user, velmora/velmora.conf in the XDG configuration
// folder (~/.config unless XDG_CONFIG_HOME says otherwise).
QString settingsFilePath();

// The file of the same settings before they had a folder of their own.
QString formerSettingsFilePath();

// The store used by the program, in settingsFilePath(). When that file does not
// exist yet, the settings in formerSettingsFilePath() are taken over, so a choice
// made with an earlier version is kept. When the file cannot be written, values
// set are kept for this run and one line on standard error says why.
class QtSettingsStore : public SettingsStore {
public:
    QtSettingsStore();
    ~QtSettingsStore() override;
    QString value(const QString& key, const QString& fallback) const override;
    void setValue(const QString& key, const QString& value) override;

private:
    std::unique_ptr<QSettings> m_settings;
    bool m_saidCannotWrite = false;
};

// Text-to-Boolean conversion of stored values: a number is True unless 0; the
// words "True" and "False" in any letter case. Throws StepFailure otherwise.
bool booleanFromText(const QString& text);
QString booleanText(bool value);

}  // namespace velmora
