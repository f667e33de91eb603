#pragma once

#include <QString>
#include <QStringList>

class QWidget;

namespace velmora {

// The message boxes and file dialogs the window shows, behind one interface so
// that tests can answer them.
class UserDialogs {
public:
    virtual ~UserDialogs() = default;
    // OK button only, no icon.
    virtual void message(QWidget* parent, const QString& title, const QString& text) = 0;
    // "Application Error", OK button, warning icon.
    virtual void errorReport(QWidget* parent, const QString& text) = 0;
    // Yes and No, question icon; true for Yes.
    virtual bool ask(QWidget* parent, const QString& title, const QString& text) = 0;
    // Yes and No, no icon, Yes the default; true for Yes.
    virtual bool confirm(QWidget* parent, const QString& title, const QString& text) = 0;
    // The Save dialog, opening on the first filter; sets *filterIndex (1-based)
    // and returns the path, or an empty text when cancelled.
    virtual QString saveFile(QWidget* parent, const QString& title, const QStringList& filters,
                             int* filterIndex) = 0;
    // The Open dialog; an empty list when cancelled.
    virtual QStringList openFiles(QWidget* parent, const QString& title, const QString& filter) = 0;
};

class QtUserDialogs : public UserDialogs {
public:
    void message(QWidget* parent, const QString& title, const QString& text) override;
    void errorReport(QWidget* parent, const QString& text) override;
    bool ask(QWidget* parent, const QString& title, const QString& text) override;
    QStringList openFiles(QWidget* parent, const QString& title, const QString& filter) override;
    bool confirm(QWidget* parent, const QString& title, const QString& text) override;
    QString saveFile(QWidget* parent, const QString& title, const QStringList& filters,
                     int* filterIndex) override;
};

// Turns a "description|patterns|description|patterns" filter into Qt's form.
QString qtFileFilter(const QString& filter);

}  // namespace velmora
