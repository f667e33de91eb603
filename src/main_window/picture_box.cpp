#include "picture_box.h"

#include <QDragEnterEvent>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QWheelEvent>
#include <algorithm>
#include <cmath>
#include <utility>

#include "picture_file.h"

namespace velmora {

PictureBox::PictureBox(QWidget* parent) : QWidget(parent) {
    setAcceptDrops(true);
    setCursor(Qt::CrossCursor);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setMouseTracking(true);
}

void PictureBox::mousePressEvent(QMouseEvent* event) {
    emit pressed(event->button(), picturePosition(event->position()));
}

void PictureBox::mouseReleaseEvent(QMouseEvent* event) {
    emit released(event->button(), picturePosition(event->position()));
}

void PictureBox::mouseMoveEvent(QMouseEvent* event) {
    emit moved(picturePosition(event->position()));
}

void PictureBox::mouseDoubleClickEvent(QMouseEvent*) { emit doubleClicked(); }

void PictureBox::wheelEvent(QWheelEvent* event) {
    if (!(event->modifiers() & Qt::ControlModifier)) {
        event->ignore();
        return;
    }
    // A wheel notch is 120; finer wheels and touchpads add up to one.
    m_wheelAngle += event->angleDelta().y();
    const int steps = m_wheelAngle / 120;
    m_wheelAngle -= steps * 120;
    if (steps != 0) emit zoomWheeled(steps, event->position());
    event->accept();
}

// At 1:1 the pointer's own position, as the selection rules expect. Zoomed,
// the centre of the screen pixel under the pointer, among the picture pixels'
// centres, so that rounding gives a picture pixel under that screen pixel.
QPointF PictureBox::picturePosition(QPointF at) const {
    if (m_zoom.isOneToOne()) return at;
    const QPointF half(0.5, 0.5);
    return m_zoom.pictureFromScreen(at + half) - half;
}

void PictureBox::setZoom(Zoom zoom) {
    m_zoom = zoom;
    resize(m_zoom.scaledSize(boxSize()));
    update();
}

QRect PictureBox::screenRect(const QRect& rect) const {
    return rect.isEmpty() ? QRect() : m_zoom.screenPixelsOver(rect);
}

void PictureBox::setPicture(const QImage& image) {
    m_picture = flattenOverWhite(image);
    resizeLayers(m_autoSize ? m_picture.size() : boxSize());
}

void PictureBox::setColorSpace(const QColorSpace& space) {
    const bool convert = space.isValid() && space != QColorSpace(QColorSpace::SRgb);
    m_toScreen = convert ? space.transformationToColorSpace(QColorSpace::SRgb) : QColorTransform();
    update();
}

void PictureBox::commitImage() { m_picture = m_image; }

void PictureBox::imageChanged(const QRect& rect) { update(screenRect(rect)); }

void PictureBox::markPainted(const QRect& rect) {
    m_paintedArea |= rect;
    update(screenRect(rect));
}

QRect PictureBox::takePaintedArea() { return std::exchange(m_paintedArea, QRect()); }

void PictureBox::overlayDrawn(const QRect& area) {
    // A painter begun on the overlay starts its recording afresh, so what was
    // drawn before is repainted too.
    const QRect drawn = area.intersected(m_image.rect());
    update(screenRect(m_overlayArea | drawn));
    m_overlayArea |= drawn;
}

void PictureBox::clearOverlay() {
    m_overlay = QPicture();
    if (m_overlayArea.isEmpty()) return;
    update(screenRect(m_overlayArea));
    m_overlayArea = QRect();
}

void PictureBox::setAutoSize(bool on) {
    m_autoSize = on;
    if (on && !m_picture.isNull() && boxSize() != m_picture.size()) resizeLayers(m_picture.size());
}

void PictureBox::setBoxSize(int width, int height) { resizeLayers(QSize(width, height)); }

// The persistent image always matches the box: a white background with the
// committed picture at its top-left corner. A picture of the box's size is
// shared, not copied, until marks are painted into it.
void PictureBox::resizeLayers(const QSize& size) {
    if (m_picture.size() == size) {
        m_image = m_picture;
    } else {
        QImage image(size, QImage::Format_RGB32);
        image.fill(Qt::white);
        {
            QPainter painter(&image);
            painter.drawImage(0, 0, m_picture);
        }
        m_image = image;
    }
    m_overlay = QPicture();
    m_overlayArea = QRect();
    resize(m_zoom.scaledSize(size));
    update();
}

void PictureBox::drawPicture(QPainter& painter, const QRectF& target, const QRect& source) const {
    if (m_toScreen.isIdentity()) {
        painter.drawImage(target, m_image, QRectF(source));
        return;
    }
    // Only the part being painted is converted, so a preview step stays cheap.
    QImage shown = m_image.copy(source);
    shown.applyColorTransform(m_toScreen);
    painter.drawImage(target, shown);
}

void PictureBox::paintEvent(QPaintEvent* event) {
    QPainter painter(this);
    const QRect r = event->rect();
    painter.fillRect(r, Qt::white);
    if (m_zoom.isOneToOne() && devicePixelRatioF() == 1.0) {
        drawPicture(painter, r, r);
        painter.setClipRect(r);
        painter.drawPicture(0, 0, m_overlay);
        return;
    }
    // The picture pixels under the area, drawn where they lie on the screen.
    const QRect source = m_zoom.picturePixelsUnder(r).intersected(m_image.rect());
    if (source.isEmpty()) return;
    const double factor = m_zoom.factor();
    const QRectF target(source.x() * factor, source.y() * factor, source.width() * factor,
                        source.height() * factor);
    // Whole device pixels per picture pixel draw exactly; any other scale draws
    // smoothly, so that stripes one pixel wide stay even rather than coming out
    // two and one device pixels wide by turns.
    const double devicePixels = factor * devicePixelRatioF();
    painter.setRenderHint(QPainter::SmoothPixmapTransform,
                          devicePixels != std::floor(devicePixels));
    drawPicture(painter, target, source);
    painter.setClipRect(r);
    painter.scale(factor, factor);
    painter.drawPicture(0, 0, m_overlay);
}

namespace {

// Only files can be loaded: a web link is not offered a drop.
bool offersLocalFiles(const QMimeData* data) {
    const QList<QUrl> urls = data->urls();
    return std::any_of(urls.begin(), urls.end(), [](const QUrl& url) { return url.isLocalFile(); });
}

}  // namespace

void PictureBox::dragEnterEvent(QDragEnterEvent* event) {
    if (offersLocalFiles(event->mimeData()))
        event->acceptProposedAction();
    else
        event->ignore();
}

void PictureBox::dragMoveEvent(QDragMoveEvent* event) {
    if (offersLocalFiles(event->mimeData()))
        event->acceptProposedAction();
    else
        event->ignore();
}

void PictureBox::dropEvent(QDropEvent* event) {
    QStringList files;
    for (const QUrl& url : event->mimeData()->urls()) {
        if (url.isLocalFile()) files << url.toLocalFile();
    }
    event->acceptProposedAction();
    emit filesDropped(files);
}

}  // namespace velmora
