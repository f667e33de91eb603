#include "selection_tool.h"

#include <QPainter>
#include <QPolygon>
#include <algorithm>
#include <cmath>

#include "picture_box.h"
#include "pixel_buffer_adapter.h"
#include "zoom.h"

namespace velmora {

namespace {

QPoint rounded(QPointF at) {
    // Halves go to the even neighbour (the default rounding mode).
    return QPoint(int(std::nearbyint(at.x())), int(std::nearbyint(at.y())));
}

// How many picture pixels one screen pixel spans across: 1 at 1:1 and zoomed in.
int screenPixelSpan(Zoom zoom) {
    return int((zoom.denominator() + zoom.numerator() - 1) / zoom.numerator());
}

// Outlines are one screen pixel wide at any zoom.
void markPainter(QPainter& painter, Zoom zoom) {
    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.setPen(QPen(kMarkColour, screenPixelSpan(zoom)));
    painter.setBrush(kMarkColour);
}

// A polygon closes on a click strictly within two pixels of its first corner,
// screen pixels when zoomed out.
bool closesPolygon(QPoint first, QPointF at, Zoom zoom) {
    const int near = 2 * screenPixelSpan(zoom);
    return first.x() - near < at.x() && at.x() < first.x() + near && first.y() - near < at.y() &&
           at.y() < first.y() + near;
}

// The picture pixels under the screen pixel that at (a picture position) lies
// in: the one pixel at 1:1 and zoomed in, a whole block zoomed out.
QRect pixelsUnder(QPointF at, Zoom zoom) {
    if (!(zoom < Zoom())) return QRect(rounded(at), QSize(1, 1));
    const QPointF screen = zoom.screenFromPicture(at + QPointF(0.5, 0.5));
    const QPoint pixel(int(std::floor(screen.x())), int(std::floor(screen.y())));
    return zoom.picturePixelsUnder(QRect(pixel, QSize(1, 1)));
}

}  // namespace

SelectionTool::SelectionTool(PictureBox* picture, QObject* parent)
    : QObject(parent), m_picture(picture) {}

void SelectionTool::setMode(SelectionMode mode) {
    m_mode = mode;
    m_lastIndex = -1;
    m_picture->clearOverlay();
}

void SelectionTool::press(Qt::MouseButton button, QPointF at) {
    if (button == Qt::RightButton) {
        m_lastIndex = -1;
        m_picture->clearOverlay();
        return;
    }
    if (button == Qt::LeftButton || button == Qt::MiddleButton) addPoint(at);
}

void SelectionTool::release(Qt::MouseButton button, QPointF at) {
    if (button == Qt::LeftButton) addPoint(at);
}

void SelectionTool::addPoint(QPointF at) {
    if (m_mode == SelectionMode::Box) {
        anchorOrPaintBox(at);
        return;
    }
    if (m_lastIndex >= 2 && closesPolygon(m_points[0], at, m_picture->zoom())) {
        finish();
        return;
    }
    ++m_lastIndex;
    m_points.resize(m_lastIndex + 1);
    m_points[m_lastIndex] = rounded(at);
    QPainter painter(&m_picture->overlay());
    markPainter(painter, m_picture->zoom());
    drawOutline(painter);
    painter.end();
    m_picture->overlayDrawn(outlineArea(m_points[m_lastIndex]));
}

// Where the outline so far and a line on to `to` may have drawn.
QRect SelectionTool::outlineArea(QPointF to) const {
    QPolygonF corners{to};
    for (int i = 0; i <= m_lastIndex && i < m_points.size(); ++i) corners << QPointF(m_points[i]);
    const int margin = screenPixelSpan(m_picture->zoom()) + 1;
    return corners.boundingRect().toAlignedRect().adjusted(-margin, -margin, margin, margin);
}

// The first point anchors a box, the second paints it: every picture pixel
// under the screen pixels from one corner to the other.
void SelectionTool::anchorOrPaintBox(QPointF at) {
    if (m_lastIndex == -1) {
        m_points = QVector<QPoint>(2);
        m_lastIndex = 1;
        m_points[1] = rounded(at);
        m_anchorPixels = pixelsUnder(at, m_picture->zoom());
        return;
    }
    m_picture->clearOverlay();
    const QRect box = m_anchorPixels.united(pixelsUnder(at, m_picture->zoom()));
    {
        detachIntoHugePages(&m_picture->image());
        QPainter painter(&m_picture->image());
        painter.fillRect(box, kMarkColour);
    }
    m_picture->markPainted(box);
    m_lastIndex = -1;
}

void SelectionTool::drawOutline(QPainter& painter) const {
    for (int i = 1; i <= m_lastIndex; ++i) painter.drawLine(m_points[i - 1], m_points[i]);
}

void SelectionTool::move(QPointF at) {
    m_picture->clearOverlay();
    QPainter painter(&m_picture->overlay());
    markPainter(painter, m_picture->zoom());
    if (m_mode == SelectionMode::Box) {
        if (m_lastIndex == 1) {
            const QRect box = m_anchorPixels.united(pixelsUnder(at, m_picture->zoom()));
            painter.fillRect(box, kMarkColour);
            painter.end();
            m_picture->overlayDrawn(box);
        }
        return;
    }
    if (m_lastIndex < 0) return;
    drawOutline(painter);
    painter.drawLine(QPointF(m_points[m_lastIndex]), at);
    painter.end();
    m_picture->overlayDrawn(outlineArea(at));
}

void SelectionTool::finish() {
    if (m_mode != SelectionMode::Polygon) return;
    m_picture->clearOverlay();
    if (m_lastIndex >= 0 && m_points.size() > m_lastIndex) {
        detachIntoHugePages(&m_picture->image());
        QPainter painter(&m_picture->image());
        markPainter(painter, m_picture->zoom());
        painter.drawPolygon(m_points.constData(), m_lastIndex + 1, Qt::OddEvenFill);
        painter.end();
        m_picture->markPainted(outlineArea(QPointF(m_points[0])));
    }
    m_lastIndex = -1;
}

}  // namespace velmora
