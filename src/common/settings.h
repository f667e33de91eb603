#pragma once

#include <QString>

namespace velmora {

// The per-user settings store: application "Korvane", section "Velmora".
class SettingsStore {
public:
    virtual ~SettingsStore() = default;
    // The stored text of key, or fallback when the key is absent.
    virtual QString value(const QString& key, const QString& fallback) const = 0;
    virtual void setValue(const QString& key, const QString& value) = 0;
};

// QSettings-backed store used by the program.
class QtSettingsStore : public SettingsStore {
public:
    QString value(const QString& key, const QString& fallback) const override;
    void setValue(const QString& key, const QString& value) override;
};

// Text-to-Boolean conversion of stored values: a number is True unless 0; the
// words "True" and "False" in any letter case. Throws StepFailure otherwise.
bool booleanFromText(const QString& text);
QString booleanText(bool value);

}  // namespace velmora
