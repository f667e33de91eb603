#include <gtest/gtest.h>
#include <sys/resource.h>

#include <QBuffer>
#include <QCheckBox>
#include <QClipboard>
#include <QFile>
#include <QMimeData>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QWindow>
#include <cstdio>
#include <cstdlib>

#include "main_window.h"
#include "picture_box.h"
#include "pictures.h"
#include "test_window.h"

using namespace velmora;
using namespace velmora::testing;

namespace {

class RemovalTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(folder.isValid());
        test = std::make_unique<TestWindow>(folder.path());
        dialogs = &test->dialogs();
        form = &test->window();
        original = texturedPicture(80, 60);
        path = writePng(folder.filePath("picture.png"), original);
        form->dropFiles({path});
        box = form->workPicture();
        start = test->control<QPushButton>("removeButton");
        undo = test->control<QPushButton>("undoButton");
        preview = test->control<QCheckBox>("previewCheck");
    }

    void mark(QPoint from, QPoint to) {
        QTest::mousePress(box, Qt::LeftButton, {}, from);
        QTest::mouseRelease(box, Qt::LeftButton, {}, to);
    }

    int greenCount() const { return int(markedPixels(box->image()).size()); }

    QTemporaryDir folder;
    FakeDialogs* dialogs = nullptr;
    std::unique_ptr<TestWindow> test;
    MainWindow* form = nullptr;
    QImage original;
    QString path;
    PictureBox* box = nullptr;
    QPushButton* start = nullptr;
    QPushButton* undo = nullptr;
    QCheckBox* preview = nullptr;
};

TEST_F(RemovalTest, RemovalFillsTheMarkOnlyAndSaysDone) {
    mark({30, 20}, {40, 28});
    ASSERT_EQ(greenCount(), 11 * 9);
    EXPECT_FALSE(undo->isEnabled());
    QTest::mouseClick(start, Qt::LeftButton);
    EXPECT_EQ(dialogs->texts("message"), QStringList{"Done."});
    EXPECT_EQ(greenCount(), 0);
    EXPECT_EQ(start->text(), "Start Removing");
    EXPECT_EQ(form->pointer(), Pointer::Default);
    EXPECT_TRUE(undo->isEnabled());
    for (int y = 0; y < 60; ++y)
        for (int x = 0; x < 80; ++x) {
            if (x < 30 || x > 40 || y < 20 || y > 28) {
                ASSERT_EQ(box->image().pixel(x, y), original.pixel(x, y)) << x << "," << y;
            }
        }
    EXPECT_EQ(box->picture(), box->image());
}

TEST_F(RemovalTest, SecondEmptyRunSaysNothingAndUndoBringsBackTheFirstResult) {
    mark({30, 20}, {40, 28});
    QTest::mouseClick(start, Qt::LeftButton);
    const QImage firstResult = box->image();
    dialogs->shown.clear();
    QTest::mouseClick(start, Qt::LeftButton);
    EXPECT_TRUE(dialogs->shown.isEmpty());
    EXPECT_TRUE(undo->isEnabled());
    mark({1, 1}, {5, 5});
    QTest::mouseClick(undo, Qt::LeftButton);
    EXPECT_EQ(box->image(), firstResult);
    EXPECT_FALSE(undo->isEnabled());
}

TEST_F(RemovalTest, StopWithPreviewOffLeavesTheMarkedPicture) {
    preview->setChecked(false);
    mark({10, 10}, {60, 45});
    const QImage marked = box->image();
    QTimer::singleShot(0, start, [this] {
        EXPECT_EQ(start->text(), "Stop");
        EXPECT_EQ(form->pointer(), Pointer::Hourglass);
        QTest::mouseClick(start, Qt::LeftButton);
        EXPECT_EQ(start->text(), "Start Removing");
    });
    QTest::mouseClick(start, Qt::LeftButton);
    EXPECT_TRUE(dialogs->shown.isEmpty());
    EXPECT_EQ(box->image(), marked);
    QTest::mouseClick(undo, Qt::LeftButton);
    EXPECT_EQ(box->image(), original);
}

TEST_F(RemovalTest, StopWithPreviewShowsPartialFillButCommitsNothing) {
    mark({10, 10}, {60, 45});
    const int before = greenCount();
    int stepsSeen = 0;
    std::function<void()> stopLater = [&] {
        // Let a few preview steps through, then click Stop.
        if (++stepsSeen < 20)
            QTimer::singleShot(0, start, stopLater);
        else
            QTest::mouseClick(start, Qt::LeftButton);
    };
    QTimer::singleShot(0, start, stopLater);
    QTest::mouseClick(start, Qt::LeftButton);
    EXPECT_TRUE(dialogs->shown.isEmpty());
    const int after = greenCount();
    EXPECT_LT(after, before);
    EXPECT_GT(after, 0);
    EXPECT_EQ(box->picture(), original);
}

// A mark painted during a run is not part of it: the next preview write covers it.
TEST_F(RemovalTest, MarkPaintedDuringAPreviewRunIsOverwritten) {
    mark({10, 10}, {60, 45});
    int yields = 0;
    std::function<void()> during = [&] {
        if (++yields == 1) mark({68, 50}, {75, 56});
        if (yields < 20)
            QTimer::singleShot(0, start, during);
        else
            QTest::mouseClick(start, Qt::LeftButton);
    };
    QTimer::singleShot(0, start, during);
    QTest::mouseClick(start, Qt::LeftButton);
    ASSERT_EQ(yields, 20);
    for (int y = 50; y <= 56; ++y)
        for (int x = 68; x <= 75; ++x)
            ASSERT_EQ(box->image().pixel(x, y), original.pixel(x, y)) << x << "," << y;
}

TEST_F(RemovalTest, LoadingDuringARunEndsItAndKeepsTheNewPicture) {
    mark({10, 10}, {60, 45});
    QImage other(30, 20, QImage::Format_RGB32);
    other.fill(Qt::blue);
    const QString otherPath = folder.filePath("other.png");
    ASSERT_TRUE(other.save(otherPath));
    QTimer::singleShot(0, start, [&] { form->dropFiles({otherPath}); });
    QTest::mouseClick(start, Qt::LeftButton);
    EXPECT_EQ(start->text(), "Start Removing");
    EXPECT_EQ(box->size(), QSize(30, 20));
    EXPECT_EQ(box->image(), other);
    EXPECT_FALSE(form->removal().isRunning());
}

// The undo copy belongs to the picture it was taken from: restoring it over a
// newly loaded or pasted picture would throw that picture away.
TEST_F(RemovalTest, ANewPictureLeavesNothingToUndo) {
    test->show();
    mark({30, 20}, {40, 28});
    QTest::mouseClick(start, Qt::LeftButton);
    ASSERT_TRUE(undo->isEnabled());

    QImage pasted(50, 40, QImage::Format_RGB32);
    pasted.fill(Qt::yellow);
    QApplication::clipboard()->setImage(pasted);
    QTest::keyClick(form->windowHandle(), Qt::Key_V, Qt::ControlModifier);
    ASSERT_EQ(box->image(), pasted);
    EXPECT_FALSE(undo->isEnabled());
    QTest::mouseClick(undo, Qt::LeftButton);
    EXPECT_EQ(box->image(), pasted);

    mark({5, 5}, {9, 9});
    QTest::mouseClick(start, Qt::LeftButton);
    ASSERT_TRUE(undo->isEnabled());
    form->dropFiles({path});
    EXPECT_EQ(box->image(), original);
    EXPECT_FALSE(undo->isEnabled());
}

TEST_F(RemovalTest, AFailedLoadKeepsTheUndo) {
    mark({30, 20}, {40, 28});
    QTest::mouseClick(start, Qt::LeftButton);
    const QImage result = box->image();
    ASSERT_TRUE(undo->isEnabled());
    const QString broken = folder.filePath("broken.png");
    QFile file(broken);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("not a picture");
    file.close();
    form->dropFiles({broken});
    EXPECT_EQ(dialogs->texts("error").size(), 1);
    EXPECT_EQ(box->image(), result);
    EXPECT_TRUE(undo->isEnabled());
    QTest::mouseClick(undo, Qt::LeftButton);
    EXPECT_EQ(box->image(), original);
}

// Starts a removal with too little address space for the engine's working state;
// exits 0 when the one report names the engine call.
[[noreturn]] void removeWithoutMemory() {
    QTemporaryDir folder;
    TestWindow test(folder.path());
    test.window().dropFiles({writePng(folder.filePath("big.png"), texturedPicture(1400, 1400))});
    QTest::mousePress(test.picture(), Qt::LeftButton, {}, QPoint(100, 100));
    QTest::mouseRelease(test.picture(), Qt::LeftButton, {}, QPoint(1300, 1300));
    // Room for the picture's copy, not for the engine's state over 1.4 M pixels.
    QFile statm("/proc/self/statm");
    statm.open(QIODevice::ReadOnly);
    const rlim_t used = statm.readAll().split(' ').value(0).toULongLong() * 4096;
    const rlimit limit{used + (24 << 20), used + (24 << 20)};
    setrlimit(RLIMIT_AS, &limit);
    QTest::mouseClick(test.control<QPushButton>("removeButton"), Qt::LeftButton);
    const QStringList errors = test.dialogs().texts("error");
    std::fprintf(stderr, "%s\n", qPrintable(errors.join("|")));
    std::_Exit(errors.size() == 1 && errors[0].contains("PushButton3_Click at line 114") &&
                       test.dialogs().texts("message").isEmpty()
                   ? 0
                   : 1);
}

// An engine that cannot get its working memory fails at the step that called it.
TEST(RemovalFailure, EngineOutOfMemoryIsReportedAtTheEngineCall) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer's shadow memory needs an unlimited address space";
#endif
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(removeWithoutMemory(), ::testing::ExitedWithCode(0), "not enough memory");
}

// A line of /proc/self/status in bytes ("VmRSS", "VmHWM"); -1 when unreadable.
qint64 statusBytes(const QByteArray& field) {
    QFile status("/proc/self/status");
    if (!status.open(QIODevice::ReadOnly)) return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith(field + ':'))
            return line.mid(field.size() + 1).trimmed().split(' ')[0].toLongLong() * 1024;
    return -1;
}

// The engine fills the shown picture itself: neither the run nor the undo copy
// adds a copy of a large picture to what marking it already took.
TEST(RemovalMemory, RunOnALargePictureAddsNoCopyOfIt) {
    QTemporaryDir folder;
    TestWindow test(folder.path());
    const QString path = folder.filePath("large.bmp");
    // Smooth and without green, so that the search stays near the mark.
    QImage large(3000, 2000, QImage::Format_RGB32);
    for (int y = 0; y < large.height(); ++y)
        for (int x = 0; x < large.width(); ++x)
            large.setPixel(x, y, qRgb(x % 256, y % 256, (x + y) % 200));
    ASSERT_TRUE(large.save(path));
    large = QImage();
    test.window().dropFiles({path});  // answers No to reducing it
    QTest::mousePress(test.picture(), Qt::LeftButton, {}, QPoint(1500, 1000));
    QTest::mouseRelease(test.picture(), Qt::LeftButton, {}, QPoint(1529, 1019));
    const qint64 before = statusBytes("VmRSS");
    QFile peak("/proc/self/clear_refs");  // "5" starts the peak afresh
    if (before < 0 || !peak.open(QIODevice::WriteOnly) || peak.write("5") != 1 || !peak.flush())
        GTEST_SKIP() << "this system does not report resident memory";
    QTest::mouseClick(test.control<QPushButton>("removeButton"), Qt::LeftButton);
    ASSERT_EQ(test.dialogs().texts("message"), QStringList{"Done."});
    const qint64 pictureBytes = 3000 * 2000 * 4;
    EXPECT_LT(statusBytes("VmHWM") - before, pictureBytes / 2);
    EXPECT_LT(statusBytes("VmRSS") - before, pictureBytes / 2);
}

TEST_F(RemovalTest, MarkCoveringThePictureReportsNoSourceArea) {
    mark({-1, -1}, {79, 59});  // QTest reads (0, 0) as the widget centre
    QTest::mouseClick(start, Qt::LeftButton);
    ASSERT_EQ(dialogs->texts("message").size(), 1);
    EXPECT_TRUE(dialogs->texts("message")[0].contains("Block Size"))
        << dialogs->texts("message")[0].toStdString() << greenCount();
    EXPECT_EQ(greenCount(), 80 * 60);
}

TEST_F(RemovalTest, CopyTakesTheMarksAndPasteReplacesThePicture) {
    test->show();
    mark({2, 2}, {4, 4});
    QTest::keyClick(form->windowHandle(), Qt::Key_C, Qt::ControlModifier);
    const QImage copied = QApplication::clipboard()->image().convertToFormat(QImage::Format_RGB32);
    EXPECT_EQ(copied, box->image());
    EXPECT_EQ(copied.pixel(3, 3), qRgb(0, 255, 0));

    QApplication::clipboard()->setText("just words");
    QTest::keyClick(form->windowHandle(), Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(box->image(), copied);

    QImage pasted(600, 50, QImage::Format_RGB32);
    pasted.fill(Qt::yellow);
    QApplication::clipboard()->setImage(pasted);
    QTest::keyClick(form->windowHandle(), Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(box->size(), QSize(600, 50));
    EXPECT_EQ(box->image(), pasted);
    EXPECT_FALSE(form->findChild<QWidget*>("horizontalScrollBar")->isHidden());

    // Another program offers bytes per format: a damaged PNG, then a sound BMP.
    QImage offered(30, 20, QImage::Format_RGB32);
    offered.fill(qRgb(10, 90, 200));
    QByteArray bmp;
    QBuffer buffer(&bmp);
    ASSERT_TRUE(buffer.open(QIODevice::WriteOnly) && offered.save(&buffer, "BMP"));
    auto* offer = new QMimeData;
    offer->setData("image/png", QByteArray("\x89PNG\r\n\x1a\n cut", 12));
    offer->setData("image/bmp", bmp);
    QApplication::clipboard()->setMimeData(offer);
    QTest::keyClick(form->windowHandle(), Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(box->image(), offered);
}

}  // namespace
