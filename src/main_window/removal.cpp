// The removal command, preview, stop, undo and the clipboard keys.
#include <QApplication>
#include <QClipboard>
#include <QKeyEvent>
#include <QMimeData>
#include <QPushButton>
#include <QCheckBox>
#include <QScrollBar>

#include "clipboard_picture.h"
#include "form1.h"
#include "inpainting.h"
#include "picture_box.h"
#include "pixel_buffer_adapter.h"
#include "user_dialogs.h"

namespace velmora {

namespace {

// Lets the window's events run between engine stages and shows previews.
class WindowObserver : public InpaintObserver {
public:
    WindowObserver(PictureBox* picture, const bool* abandoned)
        : m_picture(picture), m_abandoned(abandoned) {}

    bool yield() override {
        QCoreApplication::processEvents();
        return StopRequested || *m_abandoned;
    }

    void preview(const PixelView& buffer, const PixelRect& changed) override {
        // A picture replaced during the run must never receive this buffer.
        if (*m_abandoned || m_picture->image().size() != QSize(buffer.width, buffer.height))
            return;
        // Marks painted since the last write are overwritten too: they are not part of this run.
        const QRect area = (QRect(changed.x, changed.y, changed.width, changed.height) |
                            m_picture->takePaintedArea())
                               .intersected(m_picture->image().rect());
        copyToQImage(buffer, PixelRect{area.x(), area.y(), area.width(), area.height()},
                     &m_picture->image());
        m_picture->imageChanged(area);
    }

private:
    PictureBox* m_picture;
    const bool* m_abandoned;
};

}  // namespace

void Form1::endRunningRemoval() {
    if (!m_removalRunning) return;
    m_runAbandoned = true;
    if (PushButton3->text() == QLatin1String("Stop")) {
        PushButton3->setText(SavedCaption);
        setPointer(kPointerDefault);
    }
    StopRequested = true;
}

void Form1::PushButton3_Click() {
    StepRunner run(QStringLiteral("PushButton3_Click"),
                   [this](const QString& t) { reportError(t); });
    if (run.test(100, [this] { return PushButton3->text() == QLatin1String("Stop"); })) {
        run.step(122, [this] { PushButton3->setText(SavedCaption); });
        run.step(124, [this] { setPointer(kPointerDefault); });
        run.step(126, [] { StopRequested = true; });
        return;
    }
    run.step(102, [this] { SavedCaption = PushButton3->text(); });
    run.step(104, [this] { PushButton3->setText(QStringLiteral("Stop")); });
    run.step(106, [this] { setPointer(kPointerHourglass); });
    run.step(108, [] { StopRequested = false; });
    run.step(110, [this] {
        picUndo->setAutoSize(true);
        picUndo->setPicture(PicOrg->picture());
    });
    run.step(112, [this] { PushButton12->setEnabled(true); });
    InpaintResult result;
    run.step(114, [&] {
        result = runEngine();
        // The engine's own failures belong to the step that called it.
        if (result.status == InpaintStatus::OutOfMemory ||
            result.status == InpaintStatus::InvalidInput) {
            const std::string reason = result.message;
            result = InpaintResult{};
            fail(QString::fromStdString(reason));
        }
    });
    run.step(116, [this] { setPointer(kPointerDefault); });
    run.step(118, [this] { PushButton3->setText(SavedCaption); });
    run.step(120, [&] {
        if (result.steps > 0) {
            message(QStringLiteral("Done."));
        } else if (result.status == InpaintStatus::NoSourceArea) {
            message(
                QStringLiteral("Nothing was removed: no unmarked part of the picture is "
                               "large enough to copy from. A smaller Block Size may help."));
        }
    });
}

InpaintResult Form1::runEngine() {
    PixelBuffer buffer = toPixelBuffer(PicOrg->image());
    InpaintOptions options;
    options.mask = {0, 255, 0};
    options.preview = ChkPrev->isChecked();
    options.blockSize = HScroll1->value();
    options.scanBorder = HScroll2->value();
    m_removalRunning = true;
    m_runAbandoned = false;
    PicOrg->takePaintedArea();  // marks painted so far are in the buffer already
    WindowObserver observer(PicOrg, &m_runAbandoned);
    const InpaintResult result = Inpaint(buffer, options, &observer);
    m_removalRunning = false;
    if (m_runAbandoned) return InpaintResult{0, InpaintStatus::Stopped, {}};
    if (result.status == InpaintStatus::Ok && result.steps > 0) {
        PicOrg->image() = toQImage(buffer).convertToFormat(QImage::Format_RGB32);
        PicOrg->commitImage();
        PicOrg->update();
    }
    return result;
}

void Form1::PushButton12_Click() {
    endRunningRemoval();
    StepRunner run(QStringLiteral("PushButton12_Click"),
                   [this](const QString& t) { reportError(t); });
    run.step(100, [this] { PicOrg->setPicture(picUndo->picture()); });
    run.step(102, [this] { PushButton12->setEnabled(false); });
}

void Form1::pasteFromClipboard() {
    const QMimeData* data = QApplication::clipboard()->mimeData();
    if (!data) return;
    QString error;
    const QImage image = clipboardPicture(*data, &error);
    if (image.isNull()) {
        if (!error.isEmpty()) message(error);  // nothing said when no picture is offered
        return;
    }
    endRunningRemoval();
    StepRunner run(QStringLiteral("Form_KeyPress"), [this](const QString& t) { reportError(t); });
    run.step(100, [&] {
        if (image.width() > 32767 || image.height() > 32767)
            fail(QStringLiteral("The picture on the clipboard is too large (%1 x %2 pixels).")
                     .arg(image.width())
                     .arg(image.height()));
        PicOrg->setPicture(image);
        PushButton12->setEnabled(false);  // the undo copy is of the replaced picture
    });
    run.step(102, [this] { ArrangeScrollBars(); });
}

void Form1::copyToClipboard() {
    QClipboard* clipboard = QApplication::clipboard();
    clipboard->clear();
    clipboard->setImage(PicOrg->image());
}

bool Form1::handleKeyPress(QKeyEvent* event) {
    const bool control = event->modifiers() & Qt::ControlModifier;
    if ((control && event->key() == Qt::Key_V) || event->text() == QChar(22)) {
        pasteFromClipboard();
    } else if ((control && event->key() == Qt::Key_C) || event->text() == QChar(3)) {
        copyToClipboard();
    }
    return false;  // the key goes on to the control as well
}

}  // namespace velmora
