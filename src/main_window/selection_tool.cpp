#include "selection_tool.h"

#include <QPainter>
#include <QPolygon>
#include <algorithm>
#include <cmath>

#include "picture_box.h"

namespace velmora {

namespace {

QPoint rounded(QPointF at) {
    // Halves go to the even neighbour (the default rounding mode).
    return QPoint(int(std::nearbyint(at.x())), int(std::nearbyint(at.y())));
}

// Both corners are included, so a click without movement paints one pixel.
QRect boxBetween(QPoint a, QPoint b) {
    return QRect(QPoint(std::min(a.x(), b.x()), std::min(a.y(), b.y())),
                 QPoint(std::max(a.x(), b.x()), std::max(a.y(), b.y())));
}

void markPainter(QPainter& painter) {
    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.setPen(QPen(kMarkColour, 1));
    painter.setBrush(kMarkColour);
}

// A polygon closes on a click strictly within two pixels of its first corner.
bool closesPolygon(QPoint first, QPointF at) {
    return first.x() - 2 < at.x() && at.x() < first.x() + 2 && first.y() - 2 < at.y() &&
           at.y() < first.y() + 2;
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
        anchorOrPaintBox(rounded(at));
        return;
    }
    if (m_lastIndex >= 2 && closesPolygon(m_points[0], at)) {
        finish();
        return;
    }
    ++m_lastIndex;
    m_points.resize(m_lastIndex + 1);
    m_points[m_lastIndex] = rounded(at);
    QPainter painter(&m_picture->overlay());
    markPainter(painter);
    drawOutline(painter);
    painter.end();
    m_picture->update();
}

// The first point anchors a box, the second paints it.
void SelectionTool::anchorOrPaintBox(QPoint at) {
    if (m_lastIndex == -1) {
        m_points = QVector<QPoint>(2);
        m_lastIndex = 1;
        m_points[1] = at;
        return;
    }
    m_picture->clearOverlay();
    const QRect box = boxBetween(m_points[1], at);
    {
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
    markPainter(painter);
    if (m_mode == SelectionMode::Box) {
        if (m_lastIndex == 1) painter.fillRect(boxBetween(m_points[1], rounded(at)), kMarkColour);
        return;
    }
    if (m_lastIndex < 0) return;
    drawOutline(painter);
    painter.drawLine(QPointF(m_points[m_lastIndex]), at);
}

void SelectionTool::finish() {
    if (m_mode != SelectionMode::Polygon) return;
    m_picture->clearOverlay();
    if (m_lastIndex >= 0 && m_points.size() > m_lastIndex) {
        QPainter painter(&m_picture->image());
        markPainter(painter);
        painter.drawPolygon(m_points.constData(), m_lastIndex + 1, Qt::OddEvenFill);
        painter.end();
        const QPolygon outline(m_points.mid(0, m_lastIndex + 1));
        m_picture->markPainted(outline.boundingRect().adjusted(-1, -1, 1, 1));
    }
    m_lastIndex = -1;
}

}  // namespace velmora
