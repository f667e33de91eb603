#include "picture_view.h"

#include <QGroupBox>
#include <QScrollBar>
#include <algorithm>
#include <cmath>

#include "error_report.h"
#include "picture_box.h"

namespace velmora {

namespace {

constexpr int kBarThickness = 12;
// The picture box's own size before any picture is loaded.
constexpr QSize kStartSize(520, 380);

// Scroll-bar values are 16-bit: anything outside overflows.
int toInt16(double value) {
    const double rounded = std::nearbyint(value);
    if (rounded < -32768 || rounded > 32767) fail(QStringLiteral("Overflow"));
    return int(rounded);
}

}  // namespace

PictureView::PictureView(QWidget* parent) : QWidget(parent) {
    setAutoFillBackground(true);
    QPalette viewPalette = palette();
    viewPalette.setColor(QPalette::Window, viewPalette.color(QPalette::Base));
    setPalette(viewPalette);

    m_picture = new PictureBox(this);
    m_picture->setObjectName(QStringLiteral("workPicture"));
    m_picture->setAccessibleName(QStringLiteral("Picture"));
    m_picture->setToolTip(
        QStringLiteral("Drag and drop image here or click the 'Load Image File' button.\n"
                       "Ctrl+0 shows the whole picture, Ctrl+1 its full size; Ctrl+Plus, "
                       "Ctrl+Minus or Ctrl+wheel zoom."));
    m_picture->setBoxSize(kStartSize.width(), kStartSize.height());
    connect(m_picture, &PictureBox::zoomWheeled, this,
            [this](int steps, QPointF at) { stepZoom(steps, at + QPointF(m_picture->pos())); });

    // The scroll bars and the corner square start hidden, outside the view.
    m_horizontalBar = new QScrollBar(Qt::Horizontal, this);
    m_horizontalBar->setObjectName(QStringLiteral("horizontalScrollBar"));
    m_verticalBar = new QScrollBar(Qt::Vertical, this);
    m_verticalBar->setObjectName(QStringLiteral("verticalScrollBar"));
    for (QScrollBar* bar : {m_horizontalBar, m_verticalBar}) {
        bar->setMinimum(0);
        bar->setSingleStep(1);
        bar->setTracking(false);
        bar->hide();
        bar->setGeometry(-100, -100, kBarThickness, kBarThickness);
    }
    connect(m_horizontalBar, &QScrollBar::valueChanged, this,
            [this](int value) { m_picture->move(-value, m_picture->y()); });
    connect(m_verticalBar, &QScrollBar::valueChanged, this,
            [this](int value) { m_picture->move(m_picture->x(), -value); });
    m_corner = new QGroupBox(this);
    m_corner->setObjectName(QStringLiteral("scrollCorner"));
    m_corner->setFlat(true);
    m_corner->setAutoFillBackground(true);
    m_corner->setGeometry(-100, -100, kBarThickness, kBarThickness);
    m_corner->hide();
}

void PictureView::arrangeScrollBars() {
    placeScrollBars();
    m_horizontalBar->setValue(0);
    m_verticalBar->setValue(0);
    m_picture->move(-m_horizontalBar->value(), -m_verticalBar->value());
}

void PictureView::placeScrollBars() {
    const int wp = m_picture->width();
    const int hp = m_picture->height();
    const int wv = width();
    const int hv = height();
    const bool across = wp > wv;
    const bool down = hp > hv;
    m_horizontalBar->setVisible(across);
    m_verticalBar->setVisible(down);
    m_corner->setVisible(across || down);
    const float fwp = float(wp), fhp = float(hp), fwv = float(wv), fhv = float(hv);
    const int lx =
        int(std::nearbyint(fwp + kBarThickness < fwv - kBarThickness ? fwp : fwv - kBarThickness));
    const int ly =
        int(std::nearbyint(fhp + kBarThickness < fhv - kBarThickness ? fhp : fhv - kBarThickness));
    m_horizontalBar->setGeometry(0, ly, lx, kBarThickness);
    m_verticalBar->setGeometry(lx, 0, kBarThickness, ly);
    // A negative maximum would drag the minimum below 0 with it and leave the
    // picture pushed off the view's corner; such a bar has nothing to scroll.
    m_horizontalBar->setRange(0, std::max(0, toInt16(wp - m_horizontalBar->width())));
    m_verticalBar->setRange(0, std::max(0, toInt16(hp - m_verticalBar->height())));
    m_horizontalBar->setPageStep(toInt16(wp));
    m_verticalBar->setPageStep(toInt16(hp));
    m_corner->setGeometry(m_horizontalBar->width(), m_verticalBar->height(), kBarThickness,
                          kBarThickness);
}

QPointF PictureView::centre() const { return QRectF(rect()).center(); }

void PictureView::fitToView() {
    applyZoom(Zoom::fitting(m_picture->boxSize(), size()), QPointF(0, 0));
}

void PictureView::showOneToOne(QPointF anchor) { applyZoom(Zoom(), anchor); }

void PictureView::stepZoom(int steps, QPointF anchor) {
    Zoom zoom = m_picture->zoom();
    // The scroll bars' 16-bit ranges bound the picture's shown size.
    for (; steps > 0; --steps) zoom = zoom.stepIn(m_picture->boxSize(), 32767);
    for (; steps < 0; ++steps) zoom = zoom.stepOut();
    applyZoom(zoom, anchor);
}

void PictureView::applyZoom(Zoom zoom, QPointF anchor) {
    const QPoint scroll(m_horizontalBar->value(), m_verticalBar->value());
    const QPoint wanted = scrollKeepingAnchor(scroll, anchor, m_picture->zoom(), zoom);
    m_picture->setZoom(zoom);
    placeScrollBars();
    // A bar that is not shown has nothing to scroll: its picture edge stays at the view's.
    m_horizontalBar->setValue(m_horizontalBar->isHidden() ? 0 : wanted.x());
    m_verticalBar->setValue(m_verticalBar->isHidden() ? 0 : wanted.y());
    m_picture->move(-m_horizontalBar->value(), -m_verticalBar->value());
}

}  // namespace velmora
