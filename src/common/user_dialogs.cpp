#include "user_dialogs.h"

#include <QFileDialog>
#include <QLabel>
#include <QMessageBox>
#include <QRegularExpression>
#include <QScreen>

#include <algorithm>

namespace velmora {

namespace {

// Every text is shown as written: a path such as x<b>y.jpg is not markup. A line
// that fits well within the screen stays on one line instead of wrapping at the
// box's narrow default width.
int showBox(QMessageBox& box) {
    box.setTextFormat(Qt::PlainText);
    if (auto* label = box.findChild<QLabel*>(QStringLiteral("qt_msgbox_label"))) {
        int widest = 0;
        for (const QString& line : box.text().split(QRegularExpression(QStringLiteral("[\\r\\n]"))))
            widest = std::max(widest, label->fontMetrics().horizontalAdvance(line));
        const QScreen* screen = box.screen();
        const int limit = screen ? screen->availableGeometry().width() * 2 / 3 : 800;
        if (widest <= limit) label->setMinimumWidth(widest + 2);
    }
    return box.exec();
}

}  // namespace

void QtUserDialogs::message(QWidget* parent, const QString& title, const QString& text) {
    QMessageBox box(QMessageBox::NoIcon, title, text, QMessageBox::Ok, parent);
    showBox(box);
}

void QtUserDialogs::errorReport(QWidget* parent, const QString& text) {
    QMessageBox box(QMessageBox::Warning, QStringLiteral("Application Error"), text,
                    QMessageBox::Ok, parent);
    showBox(box);
}

bool QtUserDialogs::ask(QWidget* parent, const QString& title, const QString& text) {
    QMessageBox box(QMessageBox::Question, title, text, QMessageBox::Yes | QMessageBox::No,
                    parent);
    return showBox(box) == QMessageBox::Yes;
}

QStringList QtUserDialogs::openFiles(QWidget* parent, const QString& title,
                                     const QString& filter) {
    const QString file = QFileDialog::getOpenFileName(parent, title, QString(), qtFileFilter(filter));
    return file.isEmpty() ? QStringList() : QStringList{file};
}

bool QtUserDialogs::confirm(QWidget* parent, const QString& title, const QString& text) {
    QMessageBox box(QMessageBox::NoIcon, title, text, QMessageBox::Yes | QMessageBox::No, parent);
    box.setDefaultButton(QMessageBox::Yes);
    return showBox(box) == QMessageBox::Yes;
}

QString QtUserDialogs::saveFile(QWidget* parent, const QString& title,
                                const QStringList& filters, int* filterIndex) {
    QFileDialog dialog(parent, title);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setNameFilters(filters);
    dialog.selectNameFilter(filters.value(0));
    // The save command asks about existing files itself.
    dialog.setOption(QFileDialog::DontConfirmOverwrite);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
    *filterIndex = int(filters.indexOf(dialog.selectedNameFilter())) + 1;
    return dialog.selectedFiles().front().trimmed();
}

QString qtFileFilter(const QString& filter) {
    const QStringList parts = filter.split(QLatin1Char('|'));
    QStringList entries;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        QString description = parts[i];
        const qsizetype paren = description.indexOf(QLatin1Char('('));
        if (paren >= 0) description = description.left(paren).trimmed();
        QString patterns = parts[i + 1];
        patterns.replace(QLatin1Char(';'), QLatin1Char(' '));
        if (patterns == QLatin1String("*.*")) patterns = QStringLiteral("*");
        entries << QStringLiteral("%1 (%2)").arg(description, patterns);
    }
    return entries.join(QStringLiteral(";;"));
}

}  // namespace velmora
