#include "user_dialogs.h"

#include <QFileDialog>
#include <QLabel>
#include <QLayout>
#include <QMessageBox>
#include <QRegularExpression>
#include <QRegularExpressionMatch>
#include <QScreen>
#include <QTextLayout>
#include <algorithm>

namespace velmora {

namespace {

// Breaks line wherever it runs wider than width: at the last space that keeps
// it within width, or inside a word that is wider on its own (a long path).
QString wrappedLine(const QString& line, const QFont& font, int width) {
    QTextLayout layout(line, font);
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    QStringList parts;
    layout.beginLayout();
    for (QTextLine row = layout.createLine(); row.isValid(); row = layout.createLine()) {
        row.setLineWidth(width);
        parts << line.mid(row.textStart(), row.textLength());
    }
    layout.endLayout();
    for (qsizetype i = 0; i + 1 < parts.size(); ++i) {
        while (parts[i].endsWith(QLatin1Char(' '))) parts[i].chop(1);
    }
    return parts.join(QLatin1Char('\n'));
}

// The text with every line wrapped to width; its own line breaks stay as written.
QString wrappedText(const QString& text, const QFont& font, int width) {
    static const QRegularExpression kLineBreak(QStringLiteral("\r\n|\r|\n"));
    QString result;
    qsizetype start = 0;
    for (auto breaks = kLineBreak.globalMatch(text); breaks.hasNext();) {
        const QRegularExpressionMatch lineBreak = breaks.next();
        result += wrappedLine(text.mid(start, lineBreak.capturedStart() - start), font, width);
        result += lineBreak.captured();
        start = lineBreak.capturedEnd();
    }
    return result + wrappedLine(text.mid(start), font, width);
}

// Every text is shown as written (a path such as x<b>y.jpg is not markup) and
// whole. QMessageBox never grows past a limit of its own (1000 pixels, less on
// narrower screens) and cuts off whatever its label asks for beyond it, so the
// text is wrapped here to fit within that limit and two thirds of the screen;
// a text that fits stays on its own lines instead of wrapping at the box's
// narrow default width.
int showBox(QMessageBox& box) {
    box.setTextFormat(Qt::PlainText);
    auto* label = box.findChild<QLabel*>(QStringLiteral("qt_msgbox_label"));
    const QScreen* screen = box.parentWidget() ? box.parentWidget()->screen() : box.screen();
    if (label && screen) {
        box.ensurePolished();
        label->ensurePolished();
        const int screenWidth = screen->availableGeometry().width();
        const int boxLimit = screenWidth <= 1024 ? screenWidth : std::min(screenWidth - 480, 1000);
        // What the box adds around its text: margins, icon, spacing.
        label->setWordWrap(false);
        box.layout()->activate();
        const int around =
            box.layout()->totalMinimumSize().width() - label->minimumSizeHint().width();
        constexpr int kSlack = 4;
        const int textLimit = std::max(
            100, std::min(screenWidth * 2 / 3, boxLimit - std::max(0, around) - 2 * kSlack));
        box.setText(wrappedText(box.text(), label->font(), textLimit));
        int widest = 0;
        for (const QString& line : box.text().split(QRegularExpression(QStringLiteral("[\\r\\n]"))))
            widest = std::max(widest, label->fontMetrics().horizontalAdvance(line));
        label->setMinimumWidth(widest + kSlack);
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
    QMessageBox box(QMessageBox::Question, title, text, QMessageBox::Yes | QMessageBox::No, parent);
    return showBox(box) == QMessageBox::Yes;
}

QStringList QtUserDialogs::openFiles(QWidget* parent, const QString& title, const QString& filter) {
    const QString file =
        QFileDialog::getOpenFileName(parent, title, QString(), qtFileFilter(filter));
    return file.isEmpty() ? QStringList() : QStringList{file};
}

bool QtUserDialogs::confirm(QWidget* parent, const QString& title, const QString& text) {
    QMessageBox box(QMessageBox::NoIcon, title, text, QMessageBox::Yes | QMessageBox::No, parent);
    box.setDefaultButton(QMessageBox::Yes);
    return showBox(box) == QMessageBox::Yes;
}

QString QtUserDialogs::saveFile(QWidget* parent, const QString& title, const QStringList& filters,
                                int* filterIndex) {
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
