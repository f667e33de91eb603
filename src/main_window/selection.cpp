// Region selection on the working picture: boxes and polygons painted in
// MarkColour into the persistent image; outlines under construction on the overlay.
#include <QPainter>
#include <cmath>

#include "form1.h"
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
    painter.setPen(QPen(MarkColour, 1));
    painter.setBrush(MarkColour);
}

}  // namespace

void Form1::PicOrg_MouseDown(Qt::MouseButton button, QPointF at) {
    if (button == Qt::RightButton) {
        SelLastIndex = -1;
        PicOrg->clearOverlay();
        return;
    }
    if (button == Qt::LeftButton || button == Qt::MiddleButton) addSelectionPoint(at);
}

void Form1::PicOrg_MouseUp(Qt::MouseButton button, QPointF at) {
    if (button == Qt::LeftButton) addSelectionPoint(at);
}

void Form1::addSelectionPoint(QPointF at) {
    if (SelMode == 1) {
        if (SelLastIndex == -1) {
            SelPoints = QVector<QPoint>(2);
            SelLastIndex = 1;
            SelPoints[1] = rounded(at);
            return;
        }
        PicOrg->clearOverlay();
        const QRect box = boxBetween(SelPoints[1], rounded(at));
        {
            QPainter painter(&PicOrg->image());
            painter.fillRect(box, MarkColour);
        }
        PicOrg->markPainted(box);
        SelLastIndex = -1;
        return;
    }
    if (SelLastIndex >= 2) {
        const QPoint first = SelPoints[0];
        if (first.x() - 2 < at.x() && at.x() < first.x() + 2 && first.y() - 2 < at.y() &&
            at.y() < first.y() + 2) {
            finishSelection();
            return;
        }
    }
    ++SelLastIndex;
    SelPoints.resize(SelLastIndex + 1);
    SelPoints[SelLastIndex] = rounded(at);
    QPainter painter(&PicOrg->overlay());
    markPainter(painter);
    for (int i = 1; i <= SelLastIndex; ++i) painter.drawLine(SelPoints[i - 1], SelPoints[i]);
    painter.end();
    PicOrg->update();
}

void Form1::PicOrg_MouseMove(QPointF at) {
    PicOrg->clearOverlay();
    QPainter painter(&PicOrg->overlay());
    markPainter(painter);
    if (SelMode != 0) {
        if (SelLastIndex == 1) painter.fillRect(boxBetween(SelPoints[1], rounded(at)), MarkColour);
        return;
    }
    if (SelLastIndex < 0) return;
    for (int i = 1; i <= SelLastIndex; ++i) painter.drawLine(SelPoints[i - 1], SelPoints[i]);
    painter.drawLine(QPointF(SelPoints[SelLastIndex]), at);
}

void Form1::finishSelection() {
    if (SelMode != 0) return;
    PicOrg->clearOverlay();
    if (SelLastIndex >= 0 && SelPoints.size() > SelLastIndex) {
        QPainter painter(&PicOrg->image());
        markPainter(painter);
        painter.drawPolygon(SelPoints.constData(), SelLastIndex + 1, Qt::OddEvenFill);
        painter.end();
        const QPolygon outline(SelPoints.mid(0, SelLastIndex + 1));
        PicOrg->markPainted(outline.boundingRect().adjusted(-1, -1, 1, 1));
    }
    SelLastIndex = -1;
}

}  // namespace velmora
