#include <gtest/gtest.h>

#include <QMouseEvent>
#include <QPainter>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTest>

#include "main_window.h"
#include "picture_box.h"
#include "pictures.h"
#include "test_window.h"

using namespace velmora;
using namespace velmora::testing;

namespace {

class SelectionTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(folder.isValid());
        test = std::make_unique<TestWindow>(folder.path());
        settings = &test->settings();
        form = &test->window();
        form->dropFiles({writePng(folder.filePath("white.png"), kWhite)});
        box = form->workPicture();
        ASSERT_EQ(box->size(), QSize(60, 40));
    }

    void press(QPoint at, Qt::MouseButton b = Qt::LeftButton) { QTest::mousePress(box, b, {}, at); }
    void release(QPoint at, Qt::MouseButton b = Qt::LeftButton) {
        QTest::mouseRelease(box, b, {}, at);
    }
    void click(QPoint at) {
        press(at);
        release(at);
    }
    void move(QPointF at) {
        QMouseEvent event(QEvent::MouseMove, at, box->mapToGlobal(at), Qt::NoButton, Qt::NoButton,
                          {});
        QApplication::sendEvent(box, &event);
    }
    // What the platform delivers: press, release, double-click, release.
    void doubleClick(QPoint at) {
        click(at);
        QMouseEvent event(QEvent::MouseButtonDblClick, at, box->mapToGlobal(QPointF(at)),
                          Qt::LeftButton, Qt::LeftButton, {});
        QApplication::sendEvent(box, &event);
        release(at);
    }
    void usePolygon() {
        QTest::mouseClick(test->control<QRadioButton>("polygonOption"), Qt::LeftButton);
    }

    // Picture pixels that are pure green; every other one is still white.
    QList<QPoint> green() const {
        const QList<QPoint> marked = markedPixels(box->image());
        QImage rest = box->image();
        for (const QPoint& p : marked) rest.setPixel(p, qRgb(255, 255, 255));
        EXPECT_EQ(rest, kWhite);
        return marked;
    }

    // The outline under construction, drawn on nothing.
    QImage outline() const {
        QImage image(box->size(), QImage::Format_ARGB32);
        image.fill(0);
        QPainter painter(&image);
        painter.drawPicture(0, 0, box->overlay());
        return image;
    }

    QList<QPoint> rect(int x0, int y0, int x1, int y1) const {
        QList<QPoint> result;
        for (int y = y0; y <= y1; ++y)
            for (int x = x0; x <= x1; ++x) result << QPoint(x, y);
        return result;
    }

    QTemporaryDir folder;
    const QImage kWhite = plainPicture(60, 40, Qt::white);
    FakeSettings* settings = nullptr;
    std::unique_ptr<TestWindow> test;
    MainWindow* form = nullptr;
    PictureBox* box = nullptr;
};

TEST_F(SelectionTest, BoxDragPaintsTheSamePixelsInEitherDirection) {
    press({10, 10});
    move({15, 12});
    EXPECT_EQ(outline().pixel(12, 11), qRgb(0, 255, 0));
    release({20, 15});
    EXPECT_EQ(green(), rect(10, 10, 20, 15));
    EXPECT_EQ(form->selection().lastPointIndex(), -1);

    form->dropFiles({folder.filePath("white.png")});
    press({20, 15});
    release({10, 10});
    EXPECT_EQ(green(), rect(10, 10, 20, 15));
    EXPECT_EQ(outline().pixel(12, 11), 0u);
}

TEST_F(SelectionTest, RubberBandCoversThePixelsThatArePainted) {
    press({5, 30});
    move({9, 22});
    const QList<QPoint> band = markedPixels(outline());
    release({9, 22});
    EXPECT_EQ(green(), band);
}

TEST_F(SelectionTest, ClickWithoutMovementPaintsOnePixel) {
    click({7, 8});
    EXPECT_EQ(green(), QList<QPoint>{QPoint(7, 8)});
    EXPECT_EQ(form->selection().lastPointIndex(), -1);
}

TEST_F(SelectionTest, BoxPastThePictureEdgeIsClipped) {
    press({50, 30});
    release({80, 90});
    EXPECT_EQ(green(), rect(50, 30, 59, 39));
}

TEST_F(SelectionTest, PolygonFinishesOnlyStrictlyWithinTwoPixelsOfTheStart) {
    usePolygon();
    EXPECT_EQ(form->selection().mode(), SelectionMode::Polygon);
    click({10, 10});
    click({30, 10});
    click({30, 30});
    // Exactly 2 pixels away in x: a new vertex, not a finish.
    click({12, 10});
    EXPECT_GE(form->selection().lastPointIndex(), 2);
    EXPECT_TRUE(green().isEmpty());
    // 1.5 pixels away: the press finishes; its release starts a new polygon.
    QMouseEvent pressNear(QEvent::MouseButtonPress, QPointF(11.5, 11.5), QPointF(11.5, 11.5),
                          Qt::LeftButton, Qt::LeftButton, {});
    QApplication::sendEvent(box, &pressNear);
    EXPECT_EQ(form->selection().lastPointIndex(), -1);
    const QList<QPoint> painted = green();
    EXPECT_TRUE(painted.contains(QPoint(25, 15)));
    EXPECT_FALSE(painted.contains(QPoint(10, 25)));
}

TEST_F(SelectionTest, ThreeClicksFinishATwoVertexPolygonAsALine) {
    usePolygon();
    click({10, 20});
    click({40, 20});
    press({11, 21});  // within 2 pixels of the first vertex, with four points stored
    EXPECT_EQ(form->selection().lastPointIndex(), -1);
    EXPECT_EQ(green(), rect(10, 20, 40, 20));
}

TEST_F(SelectionTest, DoubleClickFinishesPolygonAndRightPressCancelsTheNextOne) {
    usePolygon();
    click({5, 5});
    click({25, 5});
    doubleClick({25, 25});
    EXPECT_EQ(form->selection().lastPointIndex(), 0);  // the final release started a new polygon
    const QList<QPoint> painted = green();
    EXPECT_TRUE(painted.contains(QPoint(20, 10)));
    move({45, 25});
    EXPECT_EQ(outline().pixel(37, 25), qRgb(0, 255, 0));
    press({45, 25}, Qt::RightButton);
    EXPECT_EQ(form->selection().lastPointIndex(), -1);
    EXPECT_EQ(outline().pixel(37, 25), 0u);
    EXPECT_EQ(green(), painted);
}

TEST_F(SelectionTest, SelfCrossingPolygonLeavesItsOverlapUnfilledButOutlined) {
    usePolygon();
    // Two laps around the same square: the interior is covered twice.
    for (QPoint p : {QPoint(10, 10), QPoint(30, 10), QPoint(30, 30), QPoint(10, 30), QPoint(10, 12),
                     QPoint(30, 12), QPoint(30, 30), QPoint(10, 30)})
        press(p, Qt::MiddleButton);
    form->selection().finish();
    const QList<QPoint> painted = green();
    EXPECT_TRUE(painted.contains(QPoint(10, 20)));
    EXPECT_FALSE(painted.contains(QPoint(20, 20)));
}

TEST_F(SelectionTest, DoubleClickInBoxModePaintsOnePixelAndAnchorsANewBox) {
    doubleClick({15, 15});
    EXPECT_EQ(green(), QList<QPoint>{QPoint(15, 15)});
    EXPECT_EQ(form->selection().lastPointIndex(), 1);
    move({18, 17});
    EXPECT_EQ(outline().pixel(17, 16), qRgb(0, 255, 0));
}

TEST_F(SelectionTest, ModeSwitchStoresBothOptionsAndKeepsMarks) {
    click({3, 3});
    press({20, 20});
    settings->writes.clear();
    usePolygon();
    EXPECT_EQ(settings->writes, (QStringList{"Option1", "Option2"}));
    EXPECT_EQ(settings->values["Option1"], "True");
    EXPECT_EQ(settings->values["Option2"], "False");
    EXPECT_EQ(form->selection().lastPointIndex(), -1);
    EXPECT_EQ(green(), QList<QPoint>{QPoint(3, 3)});
    QTest::mouseClick(test->control<QRadioButton>("boxOption"), Qt::LeftButton);
    EXPECT_EQ(form->selection().mode(), SelectionMode::Box);
    EXPECT_EQ(settings->values["Option2"], "True");
}

}  // namespace
