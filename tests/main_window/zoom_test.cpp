#include "zoom.h"

#include <gtest/gtest.h>

#include <QList>
#include <QString>

using namespace velmora;

namespace {

QString text(const QRect& r) {
    return QStringLiteral("(%1,%2)-(%3,%4)")
        .arg(r.left())
        .arg(r.top())
        .arg(r.right())
        .arg(r.bottom());
}

// Screen pixels to the picture pixels under them, worked out by hand from the
// pixels' extents, and back again.
TEST(Zoom, ScreenPixelsMapToExactlyThePicturePixelsUnderThem) {
    const struct {
        const char* name;
        Zoom zoom;
        QRect screen;
        QRect picture;
    } cases[] = {
        {"one to one", Zoom(), QRect(QPoint(3, 5), QPoint(9, 7)),
         QRect(QPoint(3, 5), QPoint(9, 7))},
        {"quarter: each screen pixel covers 4x4", Zoom(1, 4), QRect(QPoint(2, 0), QPoint(2, 1)),
         QRect(QPoint(8, 0), QPoint(11, 7))},
        {"twice: two screen pixels per picture pixel", Zoom(2, 1),
         QRect(QPoint(3, 4), QPoint(4, 4)), QRect(QPoint(1, 2), QPoint(2, 2))},
        {"two thirds: screen pixel 1 straddles pixels 1 and 2", Zoom(2, 3),
         QRect(QPoint(1, 0), QPoint(1, 0)), QRect(QPoint(1, 0), QPoint(2, 1))},
        {"fit of 6000 into 508", Zoom(508, 6000), QRect(QPoint(0, 0), QPoint(507, 1)),
         QRect(QPoint(0, 0), QPoint(5999, 23))},
        {"left of the picture while dragging", Zoom(1, 4), QRect(QPoint(-1, -2), QPoint(0, 0)),
         QRect(QPoint(-4, -8), QPoint(3, 3))},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(text(c.zoom.picturePixelsUnder(c.screen)), text(c.picture)) << c.name;
        EXPECT_TRUE(c.zoom.screenPixelsOver(c.picture).contains(c.screen)) << c.name;
    }
}

TEST(Zoom, RoundTripsLoseAtMostOneScreenPixelsWorth) {
    const QList<Zoom> zooms = {Zoom(1, 16), Zoom(1, 3), Zoom(2, 3),     Zoom(),
                               Zoom(3, 1),  Zoom(8, 1), Zoom(385, 4000)};
    for (const Zoom& zoom : zooms) {
        const QString name = QStringLiteral("%1/%2").arg(zoom.numerator()).arg(zoom.denominator());
        for (int p = -7; p < 40; p += 3) {
            const QRect pixel(p, 2 * p, 1, 1);
            const QRect screen = zoom.screenPixelsOver(pixel);
            const QRect again = zoom.picturePixelsUnder(screen);
            EXPECT_TRUE(again.contains(pixel)) << qPrintable(name) << " p=" << p;
            // No more than the picture pixels that one screen pixel overlaps at each side.
            const int slack = int(zoom.denominator() / zoom.numerator()) + 1;
            EXPECT_LE(again.width(), 1 + 2 * slack) << qPrintable(name) << " p=" << p;
            const QPointF at(p + 0.25, p * 0.5);
            const QPointF back = zoom.pictureFromScreen(zoom.screenFromPicture(at));
            EXPECT_NEAR(back.x(), at.x(), 1e-9) << qPrintable(name);
            EXPECT_NEAR(back.y(), at.y(), 1e-9) << qPrintable(name);
        }
    }
}

TEST(Zoom, FitShowsTheWholePictureAsLargeAsTheViewAllowsButNeverEnlarges) {
    const QSize view(520, 385);
    const struct {
        QSize picture;
        QSize scaled;
    } cases[] = {
        {QSize(6000, 4000), QSize(520, 347)}, {QSize(4000, 6000), QSize(257, 385)},
        {QSize(521, 30), QSize(520, 30)},     {QSize(200, 100), QSize(200, 100)},
        {QSize(32767, 1), QSize(520, 1)},
    };
    for (const auto& c : cases) {
        const Zoom fit = Zoom::fitting(c.picture, view);
        EXPECT_EQ(fit.scaledSize(c.picture), c.scaled)
            << c.picture.width() << "x" << c.picture.height();
    }
    EXPECT_TRUE(Zoom::fitting(QSize(), view).isOneToOne());
}

TEST(Zoom, StepsRunFromASixteenthToEightAndStopAtTheLimits) {
    const QSize picture(6000, 4000);
    Zoom zoom = Zoom::fitting(picture, QSize(520, 385));  // about 1/11.5
    zoom = zoom.stepIn(picture, 32767);
    EXPECT_EQ(zoom, Zoom(1, 8));
    zoom = zoom.stepOut().stepOut();
    EXPECT_EQ(zoom, Zoom(1, 16));
    EXPECT_EQ(zoom.stepOut(), zoom);
    // 6000 x 6 = 36000 pixels would overflow the scroll bars: 4 is as far as it goes.
    Zoom in = Zoom();
    for (int i = 0; i < 10; ++i) in = in.stepIn(picture, 32767);
    EXPECT_EQ(in, Zoom(4, 1));
    Zoom small;
    for (int i = 0; i < 10; ++i) small = small.stepIn(QSize(100, 100), 32767);
    EXPECT_EQ(small, Zoom(8, 1));
    EXPECT_EQ(Zoom(8, 1).stepOut(), Zoom(6, 1));
}

TEST(Zoom, StepKeepsThePicturePointUnderTheAnchor) {
    const struct {
        Zoom from, to;
        QPoint scroll;
        QPointF anchor;
    } cases[] = {
        {Zoom(), Zoom(2, 1), QPoint(100, 50), QPointF(260, 192)},
        {Zoom(2, 1), Zoom(), QPoint(100, 50), QPointF(10, 380)},
        {Zoom(1, 12), Zoom(1, 8), QPoint(0, 0), QPointF(300, 100)},
        {Zoom(520, 6000), Zoom(1, 1), QPoint(0, 0), QPointF(517, 3)},
    };
    for (const auto& c : cases) {
        const QPoint scroll = scrollKeepingAnchor(c.scroll, c.anchor, c.from, c.to);
        const QPointF before = c.from.pictureFromScreen(c.anchor + QPointF(c.scroll));
        const QPointF after = c.to.pictureFromScreen(c.anchor + QPointF(scroll));
        // Whole scroll positions: within half a screen pixel at the new zoom.
        const double tolerance = 0.5 / c.to.factor() + 1e-9;
        EXPECT_NEAR(after.x(), before.x(), tolerance) << c.anchor.x();
        EXPECT_NEAR(after.y(), before.y(), tolerance) << c.anchor.y();
    }
}

}  // namespace
