#include "zoom.h"

#include <array>
#include <cmath>
#include <numeric>

namespace velmora {

namespace {

// Whole zoom steps above 1:1 keep every picture pixel the same number of screen
// pixels wide; below it, the usual fractions down to a sixteenth.
const std::array<Zoom, 14>& zoomSteps() {
    static const std::array<Zoom, 14> steps = {
        Zoom(1, 16), Zoom(1, 12), Zoom(1, 8), Zoom(1, 6), Zoom(1, 4), Zoom(1, 3), Zoom(1, 2),
        Zoom(2, 3),  Zoom(1, 1),  Zoom(2, 1), Zoom(3, 1), Zoom(4, 1), Zoom(6, 1), Zoom(8, 1)};
    return steps;
}

// Division rounding towards minus infinity and towards plus infinity; divisor > 0.
qint64 floorDivide(qint64 value, qint64 divisor) {
    const qint64 quotient = value / divisor;
    return (value % divisor != 0 && value < 0) ? quotient - 1 : quotient;
}

qint64 ceilDivide(qint64 value, qint64 divisor) { return -floorDivide(-value, divisor); }

// The pixels of one grid that `pixels` of the other reach into, where pixel s
// of `pixels` spans from s * to / from up to (s + 1) * to / from.
QRect pixelsReached(const QRect& pixels, qint64 to, qint64 from) {
    const auto first = [=](int s) { return int(floorDivide(s * to, from)); };
    const auto last = [=](int s) { return int(ceilDivide((qint64(s) + 1) * to, from) - 1); };
    return QRect(QPoint(first(pixels.left()), first(pixels.top())),
                 QPoint(last(pixels.right()), last(pixels.bottom())));
}

}  // namespace

Zoom::Zoom(qint64 numerator, qint64 denominator) {
    Q_ASSERT(numerator > 0 && denominator > 0);
    const qint64 common = std::gcd(numerator, denominator);
    m_numerator = numerator / common;
    m_denominator = denominator / common;
}

Zoom Zoom::fitting(QSize picture, QSize view) {
    if (picture.isEmpty() || view.isEmpty()) return Zoom();
    // The narrower of the two ratios view / picture decides.
    const Zoom across(view.width(), picture.width());
    const Zoom down(view.height(), picture.height());
    const Zoom fit = across < down ? across : down;
    return fit < Zoom() ? fit : Zoom();
}

Zoom Zoom::stepIn(QSize picture, int largestSide) const {
    for (const Zoom& step : zoomSteps()) {
        if (!(*this < step)) continue;
        const QSize scaled = step.scaledSize(picture);
        return scaled.width() <= largestSide && scaled.height() <= largestSide ? step : *this;
    }
    return *this;
}

Zoom Zoom::stepOut() const {
    const auto& steps = zoomSteps();
    for (auto step = steps.rbegin(); step != steps.rend(); ++step) {
        if (*step < *this) return *step;
    }
    return *this;
}

QSize Zoom::scaledSize(QSize picture) const {
    return QSize(int(ceilDivide(qint64(picture.width()) * m_numerator, m_denominator)),
                 int(ceilDivide(qint64(picture.height()) * m_numerator, m_denominator)));
}

QRect Zoom::picturePixelsUnder(const QRect& screenPixels) const {
    return pixelsReached(screenPixels, m_denominator, m_numerator);
}

QRect Zoom::screenPixelsOver(const QRect& picturePixels) const {
    return pixelsReached(picturePixels, m_numerator, m_denominator);
}

QPointF Zoom::pictureFromScreen(QPointF screen) const {
    return screen * double(m_denominator) / double(m_numerator);
}

QPointF Zoom::screenFromPicture(QPointF picture) const {
    return picture * double(m_numerator) / double(m_denominator);
}

QPoint scrollKeepingAnchor(QPoint scroll, QPointF anchor, Zoom from, Zoom to) {
    const QPointF pictureAtAnchor = from.pictureFromScreen(anchor + QPointF(scroll));
    const QPointF scaled = to.screenFromPicture(pictureAtAnchor) - anchor;
    return QPoint(int(std::lround(scaled.x())), int(std::lround(scaled.y())));
}

}  // namespace velmora
