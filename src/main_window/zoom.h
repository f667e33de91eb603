#pragma once

#include <QPoint>
#include <QPointF>
#include <QRect>
#include <QSize>
#include <QtGlobal>

namespace velmora {

// How many screen pixels show one picture pixel, kept as a fraction so that
// screen and picture pixels map onto each other exactly at every zoom.
//
// Screen positions here are in the view's pixels relative to the scaled
// picture's top-left corner (a scrolled view adds its scroll offset first).
// Picture pixel p covers the screen interval [p * factor, (p + 1) * factor);
// screen pixel s covers [s, s + 1). A screen pixel and a picture pixel are
// "under" each other when these intervals overlap.
class Zoom {
public:
    // One picture pixel per screen pixel.
    constexpr Zoom() = default;
    // REQUIRES: numerator > 0, denominator > 0. The fraction is kept reduced.
    Zoom(qint64 numerator, qint64 denominator);

    qint64 numerator() const { return m_numerator; }
    qint64 denominator() const { return m_denominator; }
    double factor() const { return double(m_numerator) / double(m_denominator); }
    bool isOneToOne() const { return m_numerator == m_denominator; }

    // The largest zoom, never above 1:1, at which the whole picture fits within
    // view (scaledSize(picture) no wider nor taller than view); 1:1 when either is empty.
    static Zoom fitting(QSize picture, QSize view);
    // The next of the steps 1/16 ... 8 above this zoom whose scaled picture is at
    // most largestSide pixels wide and tall; this zoom itself when there is none.
    Zoom stepIn(QSize picture, int largestSide) const;
    // The next of the steps 1/16 ... 8 below this zoom; this zoom itself below 1/16.
    Zoom stepOut() const;

    // The screen pixels that show some part of a picture of this size: the
    // scaled width and height, rounded up.
    QSize scaledSize(QSize picture) const;
    // The picture pixels (inclusive rectangle) lying wholly or partly under the
    // screen pixels of screenPixels (inclusive). Negative positions and positions
    // past the picture map on as they would inside it: no clipping.
    QRect picturePixelsUnder(const QRect& screenPixels) const;
    // The screen pixels (inclusive) that show some part of picturePixels (inclusive).
    QRect screenPixelsOver(const QRect& picturePixels) const;
    // Continuous positions, for the pointer: screen / factor and picture * factor.
    QPointF pictureFromScreen(QPointF screen) const;
    QPointF screenFromPicture(QPointF picture) const;

    friend bool operator==(const Zoom& a, const Zoom& b) {
        return a.m_numerator == b.m_numerator && a.m_denominator == b.m_denominator;
    }
    friend bool operator!=(const Zoom& a, const Zoom& b) { return !(a == b); }
    friend bool operator<(const Zoom& a, const Zoom& b) {
        return a.m_numerator * b.m_denominator < b.m_numerator * a.m_denominator;
    }

private:
    qint64 m_numerator = 1;
    qint64 m_denominator = 1;
};

// The scroll offset (the view's position over the scaled picture) after the zoom
// changes from `from` to `to`, such that the picture point that lay under anchor
// (a position in the view) lies under it again, to the nearest screen pixel. The
// caller limits the result to its scroll range.
QPoint scrollKeepingAnchor(QPoint scroll, QPointF anchor, Zoom from, Zoom to);

}  // namespace velmora
