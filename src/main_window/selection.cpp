// Region selection on the working picture: boxes and polygons painted in
// kMarkColour into the persistent image; outlines under construction on the overlay.
#include <QPainter>
#include <cmath>

#include "main_window.h"
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

}  // namespace

void MainWindow::picturePressed(Qt::MouseButton button, QPointF at) {
    if (button == Qt::RightButton) {
        m_selection.lastIndex = -1;
        m_workPicture->clearOverlay();
        return;
    }
    if (button == Qt::LeftButton || button == Qt::MiddleButton) addSelectionPoint(at);
}

void MainWindow::pictureReleased(Qt::MouseButton button, QPointF at) {
    if (button == Qt::LeftButton) addSelectionPoint(at);
}

void MainWindow::addSelectionPoint(QPointF at) {
    if (m_selection.mode == 1) {
        if (m_selection.lastIndex == -1) {
            m_selection.points = QVector<QPoint>(2);
            m_selection.lastIndex = 1;
            m_selection.points[1] = rounded(at);
            return;
        }
        m_workPicture->clearOverlay();
        const QRect box = boxBetween(m_selection.points[1], rounded(at));
        {
            QPainter painter(&m_workPicture->image());
            painter.fillRect(box, kMarkColour);
        }
        m_workPicture->markPainted(box);
        m_selection.lastIndex = -1;
        return;
    }
    if (m_selection.lastIndex >= 2) {
        const QPoint first = m_selection.points[0];
        if (first.x() - 2 < at.x() && at.x() < first.x() + 2 && first.y() - 2 < at.y() &&
            at.y() < first.y() + 2) {
            finishSelection();
            return;
        }
    }
    ++m_selection.lastIndex;
    m_selection.points.resize(m_selection.lastIndex + 1);
    m_selection.points[m_selection.lastIndex] = rounded(at);
    QPainter painter(&m_workPicture->overlay());
    markPainter(painter);
    for (int i = 1; i <= m_selection.lastIndex; ++i)
        painter.drawLine(m_selection.points[i - 1], m_selection.points[i]);
    painter.end();
    m_workPicture->update();
}

void MainWindow::pictureMoved(QPointF at) {
    m_workPicture->clearOverlay();
    QPainter painter(&m_workPicture->overlay());
    markPainter(painter);
    if (m_selection.mode != 0) {
        if (m_selection.lastIndex == 1)
            painter.fillRect(boxBetween(m_selection.points[1], rounded(at)), kMarkColour);
        return;
    }
    if (m_selection.lastIndex < 0) return;
    for (int i = 1; i <= m_selection.lastIndex; ++i)
        painter.drawLine(m_selection.points[i - 1], m_selection.points[i]);
    painter.drawLine(QPointF(m_selection.points[m_selection.lastIndex]), at);
}

void MainWindow::finishSelection() {
    if (m_selection.mode != 0) return;
    m_workPicture->clearOverlay();
    if (m_selection.lastIndex >= 0 && m_selection.points.size() > m_selection.lastIndex) {
        QPainter painter(&m_workPicture->image());
        markPainter(painter);
        painter.drawPolygon(m_selection.points.constData(), m_selection.lastIndex + 1,
                            Qt::OddEvenFill);
        painter.end();
        const QPolygon outline(m_selection.points.mid(0, m_selection.lastIndex + 1));
        m_workPicture->markPainted(outline.boundingRect().adjusted(-1, -1, 1, 1));
    }
    m_selection.lastIndex = -1;
}

}  // namespace velmora
