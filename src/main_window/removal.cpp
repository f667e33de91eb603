// The removal command, preview, stop, undo and the clipboard keys.
#include <QApplication>
#include <QClipboard>
#include <QKeyEvent>
#include <QMimeData>
#include <QPushButton>
#include <QCheckBox>
#include <QScrollBar>

#include "clipboard_picture.h"
#include "main_window.h"
#include "inpainting.h"
#include "picture_box.h"
#include "pixel_buffer_adapter.h"
#include "user_dialogs.h"

namespace velmora {

namespace {

// Lets the window's events run between engine stages and shows previews.
class WindowObserver : public InpaintObserver {
public:
    WindowObserver(PictureBox* picture, const bool* stopRequested, const bool* abandoned)
        : m_picture(picture), m_stopRequested(stopRequested), m_abandoned(abandoned) {}

    bool yield() override {
        QCoreApplication::processEvents();
        return *m_stopRequested || *m_abandoned;
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
    const bool* m_stopRequested;
    const bool* m_abandoned;
};

}  // namespace

void MainWindow::endRunningRemoval() {
    if (!m_run.running) return;
    m_run.abandoned = true;
    if (m_removeButton->text() == QLatin1String("Stop")) {
        m_removeButton->setText(m_removeCaption);
        setPointer(kPointerDefault);
    }
    m_run.stopRequested = true;
}

void MainWindow::startOrStopRemoval() {
    StepRunner run(Command::StartOrStopRemoval, [this](const QString& t) { reportError(t); });
    if (run.test(100, [this] { return m_removeButton->text() == QLatin1String("Stop"); })) {
        run.step(122, [this] { m_removeButton->setText(m_removeCaption); });
        run.step(124, [this] { setPointer(kPointerDefault); });
        run.step(126, [this] { m_run.stopRequested = true; });
        return;
    }
    run.step(102, [this] { m_removeCaption = m_removeButton->text(); });
    run.step(104, [this] { m_removeButton->setText(QStringLiteral("Stop")); });
    run.step(106, [this] { setPointer(kPointerHourglass); });
    run.step(108, [this] { m_run.stopRequested = false; });
    run.step(110, [this] {
        m_undoPicture->setAutoSize(true);
        m_undoPicture->setPicture(m_workPicture->picture());
    });
    run.step(112, [this] { m_undoButton->setEnabled(true); });
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
    run.step(118, [this] { m_removeButton->setText(m_removeCaption); });
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

InpaintResult MainWindow::runEngine() {
    PixelBuffer buffer = toPixelBuffer(m_workPicture->image());
    InpaintOptions options;
    options.mask = {0, 255, 0};
    options.preview = m_previewCheck->isChecked();
    options.blockSize = m_blockSizeSlider->value();
    options.scanBorder = m_scanBorderSlider->value();
    m_run.running = true;
    m_run.abandoned = false;
    m_workPicture->takePaintedArea();  // marks painted so far are in the buffer already
    WindowObserver observer(m_workPicture, &m_run.stopRequested, &m_run.abandoned);
    const InpaintResult result = Inpaint(buffer, options, &observer);
    m_run.running = false;
    if (m_run.abandoned) return InpaintResult{0, InpaintStatus::Stopped, {}};
    if (result.status == InpaintStatus::Ok && result.steps > 0) {
        m_workPicture->image() = toQImage(buffer).convertToFormat(QImage::Format_RGB32);
        m_workPicture->commitImage();
        m_workPicture->update();
    }
    return result;
}

void MainWindow::undoRemoval() {
    endRunningRemoval();
    StepRunner run(Command::UndoRemoval, [this](const QString& t) { reportError(t); });
    run.step(100, [this] { m_workPicture->setPicture(m_undoPicture->picture()); });
    run.step(102, [this] { m_undoButton->setEnabled(false); });
}

void MainWindow::pasteFromClipboard() {
    const QMimeData* data = QApplication::clipboard()->mimeData();
    if (!data) return;
    QString error;
    const QImage image = clipboardPicture(*data, &error);
    if (image.isNull()) {
        if (!error.isEmpty()) message(error);  // nothing said when no picture is offered
        return;
    }
    endRunningRemoval();
    StepRunner run(Command::KeyPress, [this](const QString& t) { reportError(t); });
    run.step(100, [&] {
        if (image.width() > 32767 || image.height() > 32767)
            fail(QStringLiteral("The picture on the clipboard is too large (%1 x %2 pixels).")
                     .arg(image.width())
                     .arg(image.height()));
        m_workPicture->setPicture(image);
        m_undoButton->setEnabled(false);  // the undo copy is of the replaced picture
    });
    run.step(102, [this] { arrangeScrollBars(); });
}

void MainWindow::copyToClipboard() {
    QClipboard* clipboard = QApplication::clipboard();
    clipboard->clear();
    clipboard->setImage(m_workPicture->image());
}

bool MainWindow::handleKeyPress(QKeyEvent* event) {
    const bool control = event->modifiers() & Qt::ControlModifier;
    if ((control && event->key() == Qt::Key_V) || event->text() == QChar(22)) {
        pasteFromClipboard();
    } else if ((control && event->key() == Qt::Key_C) || event->text() == QChar(3)) {
        copyToClipboard();
    }
    return false;  // the key goes on to the control as well
}

}  // namespace velmora
