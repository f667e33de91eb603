#include "removal_operation.h"

#include <QCoreApplication>

#include "picture_box.h"
#include "pixel_buffer_adapter.h"

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

    void preview(const PixelView& picture, const PixelRect& changed) override {
        // A picture replaced during the run must never receive these pixels.
        if (*m_abandoned || m_picture->image().size() != QSize(picture.width, picture.height))
            return;
        QRect area(changed.x, changed.y, changed.width, changed.height);
        // Marks painted during the run gave the shown picture pixels of its own;
        // they are overwritten too, as they are not part of this run.
        if (m_picture->image().constBits() != picture.bytes) {
            area = (area | m_picture->takePaintedArea()).intersected(m_picture->image().rect());
            copyToQImage(picture, PixelRect{area.x(), area.y(), area.width(), area.height()},
                         &m_picture->image());
        }
        m_picture->imageChanged(area);
    }

private:
    PictureBox* m_picture;
    const bool* m_stopRequested;
    const bool* m_abandoned;
};

}  // namespace

RemovalOperation::RemovalOperation(PictureBox* picture, QObject* parent)
    : QObject(parent), m_picture(picture) {}

void RemovalOperation::offerStop() {
    m_offersStop = true;
    m_stopRequested = false;
    emit stateChanged();
}

void RemovalOperation::withdrawStop() {
    m_offersStop = false;
    emit stateChanged();
}

bool RemovalOperation::abandon() {
    if (!m_running) return false;
    m_abandoned = true;
    m_stopRequested = true;
    const bool offered = m_offersStop;
    if (offered) withdrawStop();
    return offered;
}

void RemovalOperation::keepForUndo(const QImage& picture) {
    m_undoPicture = picture;
    m_canUndo = true;
    emit stateChanged();
}

void RemovalOperation::forgetUndo() {
    m_canUndo = false;
    m_undoPicture = QImage();  // a large picture is not held for nothing
    emit stateChanged();
}

InpaintResult RemovalOperation::run(const InpaintOptions& options) {
    // The engine fills the shown picture's own pixels. This copy shares them and
    // keeps them alive should the picture be replaced while the engine works.
    const PixelView view = pixelViewOf(&m_picture->image());
    const QImage working = m_picture->image();
    m_running = true;
    m_abandoned = false;
    m_picture->takePaintedArea();  // marks painted so far are in the picture already
    WindowObserver observer(m_picture, &m_stopRequested, &m_abandoned);
    const InpaintResult result = Inpaint(view, options, &observer);
    m_running = false;
    if (m_abandoned) return InpaintResult{0, InpaintStatus::Stopped, {}};
    if (result.status == InpaintStatus::Ok && result.steps > 0) {
        m_picture->image() = working;
        m_picture->commitImage();
        m_picture->update();
    }
    return result;
}

}  // namespace velmora
