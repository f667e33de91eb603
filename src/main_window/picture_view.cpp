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
    m_picture->setToolTip(
        QStringLiteral("Drag and drop image here or click the 'Load Image File' button."));
    m_picture->setBoxSize(kStartSize.width(), kStartSize.height());

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
    m_horizontalBar->setValue(0);
    m_verticalBar->setValue(0);
    m_picture->move(-m_horizontalBar->value(), -m_verticalBar->value());
}

}  // namespace velmora
