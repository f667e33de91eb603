#pragma once

#include <QMap>
#include <QStringList>

#include "settings.h"
#include "user_dialogs.h"

namespace velmora::testing {

// Records every dialog the window shows and answers with preset replies.
struct FakeDialogs : UserDialogs {
    struct Dialog {
        QString kind;  // "message", "error", "ask"
        QString title;
        QString text;
    };
    QList<Dialog> shown;
    bool answer = false;
    QStringList openReply;

    void message(QWidget*, const QString& title, const QString& text) override {
        shown.push_back({"message", title, text});
    }
    void errorReport(QWidget*, const QString& text) override {
        shown.push_back({"error", "Application Error", text});
    }
    bool ask(QWidget*, const QString& title, const QString& text) override {
        shown.push_back({"ask", title, text});
        return answer;
    }
    QStringList openFiles(QWidget*, const QString&, const QString&) override { return openReply; }
    bool confirm(QWidget*, const QString& title, const QString& text) override {
        shown.push_back({"confirm", title, text});
        return answer;
    }
    QString saveReply;
    int saveFilterReply = 1;
    QString saveFile(QWidget*, const QString& title, const QStringList& filters,
                     int* filterIndex) override {
        shown.push_back({"save", title, filters.join("|")});
        *filterIndex = saveFilterReply;
        return saveReply;
    }

    QStringList texts(const QString& kind) const {
        QStringList result;
        for (const Dialog& s : shown)
            if (s.kind == kind) result << s.text;
        return result;
    }
};

struct FakeSettings : SettingsStore {
    QMap<QString, QString> values;
    QStringList writes;  // keys in the order written

    QString value(const QString& key, const QString& fallback) const override {
        return values.value(key, fallback);
    }
    void setValue(const QString& key, const QString& value) override {
        values[key] = value;
        writes << key;
    }
};

}  // namespace velmora::testing
