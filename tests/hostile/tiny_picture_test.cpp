// Pictures about as small as a block of the fill: (2w+1) x (2w+1) pixels is the
// block itself, 2w pixels is too narrow for any. They load, and a removal on
// them either fills the mark soundly or says plainly that nothing can be copied.
#include <QDir>
#include <QLabel>
#include <QPushButton>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>

#include "hostile.h"
#include "picture_box.h"

using namespace velmora::hostile;

namespace {

struct TinyCase {
    int radius;  // w, as set on the Block Size slider
    int width, height;
    QRect mark;  // marked by a box drag, corners included
};

std::string caseName(const TinyCase& c) {
    return QStringLiteral("W%1_%2x%3").arg(c.radius).arg(c.width).arg(c.height).toStdString();
}

void PrintTo(const TinyCase& c, std::ostream* os) { *os << caseName(c); }

class TinyPicture : public ::testing::TestWithParam<TinyCase> {};

TEST_P(TinyPicture, RemovalFillsOrSaysThereIsNoSource) {
    const TinyCase& c = GetParam();
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    Window window(folder.path());
    auto* block = window.window().findChild<QScrollBar*>("blockSizeSlider");
    ASSERT_NE(block, nullptr);
    block->setValue(c.radius);
    ASSERT_EQ(window.window().findChild<QLabel*>("blockSizeLabel")->text(),
              QString::number(c.radius));

    const QImage original = texturedPicture(c.width, c.height, 8);
    const QString path = folder.filePath("tiny.png");
    ASSERT_TRUE(original.save(path));
    window.expectLoads(path, Route::Open, original, caseName(c));

    velmora::PictureBox* box = window.window().workPicture();
    QTest::mousePress(box, Qt::LeftButton, {}, c.mark.topLeft());
    QTest::mouseRelease(box, Qt::LeftButton, {}, c.mark.bottomRight());
    const QImage marked = box->image();
    int green = 0;
    for (int y = 0; y < c.height; ++y)
        for (int x = 0; x < c.width; ++x) {
            const bool inMark = c.mark.contains(x, y);
            ASSERT_EQ(marked.pixel(x, y) == qRgb(0, 255, 0), inMark) << x << "," << y;
            green += inMark;
        }
    ASSERT_GT(green, 0);

    window.dialogs().shown.clear();
    QTest::mouseClick(window.control<QPushButton>("removeButton"), Qt::LeftButton);
    EXPECT_TRUE(window.dialogs().texts("error").isEmpty())
        << window.dialogs().texts("error").join(" | ").toStdString();
    const QStringList said = window.dialogs().texts("message");
    ASSERT_EQ(said.size(), 1) << said.join(" | ").toStdString();
    EXPECT_EQ(window.control<QPushButton>("removeButton")->text(), "Start Removing");
    EXPECT_FALSE(window.window().removal().isRunning());
    EXPECT_EQ(box->size(), QSize(c.width, c.height));
    EXPECT_EQ(box->image().size(), QSize(c.width, c.height));

    if (said.front() == "Done.") {
        for (int y = 0; y < c.height; ++y)
            for (int x = 0; x < c.width; ++x) {
                const QRgb now = box->image().pixel(x, y);
                if (c.mark.contains(x, y))
                    ASSERT_NE(now, qRgb(0, 255, 0)) << "left unfilled: " << x << "," << y;
                else
                    ASSERT_EQ(now, original.pixel(x, y))
                        << "changed outside the mark: " << x << "," << y;
            }
        EXPECT_TRUE(box->picture() == box->image()) << "the filled picture was not kept";
    } else {
        EXPECT_TRUE(said.front().contains("no unmarked part of the picture is large enough"))
            << said.front().toStdString();
        EXPECT_TRUE(box->image() == marked) << "a refused removal changed the picture";
        EXPECT_TRUE(box->picture() == original);
    }

    const QImage later = texturedPicture(12, 10, 9);
    ASSERT_TRUE(later.save(folder.filePath("later.png")));
    window.expectLoads(folder.filePath("later.png"), Route::Drop, later, caseName(c) + ", later");
}

// Marks: the middle pixel, or a 3 x 3 box in the middle where there is room.
INSTANTIATE_TEST_SUITE_P(
    Hostile, TinyPicture,
    ::testing::Values(TinyCase{4, 1, 1, QRect(0, 0, 1, 1)}, TinyCase{4, 9, 9, QRect(4, 4, 1, 1)},
                      TinyCase{4, 8, 8, QRect(3, 3, 3, 3)}, TinyCase{4, 9, 40, QRect(3, 18, 3, 3)},
                      TinyCase{4, 8, 40, QRect(3, 18, 3, 3)},
                      TinyCase{4, 40, 9, QRect(18, 3, 3, 3)},
                      TinyCase{4, 40, 8, QRect(18, 3, 3, 3)}, TinyCase{2, 5, 5, QRect(2, 2, 1, 1)},
                      TinyCase{2, 4, 4, QRect(1, 1, 2, 2)}, TinyCase{2, 5, 20, QRect(2, 9, 1, 1)},
                      TinyCase{32, 65, 65, QRect(30, 30, 5, 5)},
                      TinyCase{32, 64, 64, QRect(30, 30, 5, 5)},
                      TinyCase{32, 65, 200, QRect(30, 98, 5, 5)}),
    [](const auto& info) { return caseName(info.param); });

}  // namespace
