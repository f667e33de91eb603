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

    void preview(const PixelView& buffer, const PixelRect& changed) override {
        // A picture replaced during the run must never receive this buffer.
        if (*m_abandoned || m_picture->image().size() != QSize(buffer.width, buffer.height)) return;
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
    emit stateChanged();
}

InpaintResult RemovalOperation::run(const InpaintOptions& options) {
    PixelBuffer buffer = toPixelBuffer(m_picture->image());
    m_running = true;
    m_abandoned = false;
    m_picture->takePaintedArea();  // marks painted so far are in the buffer already
    WindowObserver observer(m_picture, &m_stopRequested, &m_abandoned);
    const InpaintResult result = Inpaint(buffer, options, &observer);
    m_running = false;
    if (m_abandoned) return InpaintResult{0, InpaintStatus::Stopped, {}};
    if (result.status == InpaintStatus::Ok && result.steps > 0) {
        m_picture->image() = toQImage(buffer).convertToFormat(QImage::Format_RGB32);
        m_picture->commitImage();
        m_picture->update();
    }
    return result;
}

}  // namespace velmora
