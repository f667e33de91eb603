#include "picture_box.h"

#include <QDragEnterEvent>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <algorithm>
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
    emit pressed(event->button(), event->position());
}

void PictureBox::mouseReleaseEvent(QMouseEvent* event) {
    emit released(event->button(), event->position());
}

void PictureBox::mouseMoveEvent(QMouseEvent* event) { emit moved(event->position()); }

void PictureBox::mouseDoubleClickEvent(QMouseEvent*) { emit doubleClicked(); }

void PictureBox::setPicture(const QImage& image) {
    m_picture = flattenOverWhite(image);
    if (m_autoSize && size() != m_picture.size()) {
        resize(m_picture.size());
    }
    resizeLayers(size());
}

void PictureBox::commitImage() { m_picture = m_image; }

void PictureBox::imageChanged(const QRect& rect) { update(rect); }

void PictureBox::markPainted(const QRect& rect) {
    m_paintedArea |= rect;
    update(rect);
}

QRect PictureBox::takePaintedArea() { return std::exchange(m_paintedArea, QRect()); }

void PictureBox::clearOverlay() {
    m_overlay.fill(Qt::transparent);
    update();
}

void PictureBox::setAutoSize(bool on) {
    m_autoSize = on;
    if (on && !m_picture.isNull() && size() != m_picture.size()) {
        resize(m_picture.size());
        resizeLayers(size());
    }
}

void PictureBox::setBoxSize(int width, int height) {
    resize(width, height);
    resizeLayers(size());
}

// The persistent image always matches the box: a white background with the
// committed picture at its top-left corner.
void PictureBox::resizeLayers(const QSize& size) {
    QImage image(size, QImage::Format_RGB32);
    image.fill(Qt::white);
    {
        QPainter painter(&image);
        painter.drawImage(0, 0, m_picture);
    }
    m_image = image;
    m_overlay = QImage(size, QImage::Format_ARGB32_Premultiplied);
    m_overlay.fill(Qt::transparent);
    update();
}

void PictureBox::paintEvent(QPaintEvent* event) {
    QPainter painter(this);
    const QRect r = event->rect();
    painter.fillRect(r, Qt::white);
    painter.drawImage(r, m_image, r);
    painter.drawImage(r, m_overlay, r);
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
