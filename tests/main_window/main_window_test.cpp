#include "main_window.h"

#include <gtest/gtest.h>

#include <QClipboard>
#include <QColorSpace>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QMessageBox>
#include <QMimeData>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QScreen>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QWindow>

#include "picture_box.h"
#include "pictures.h"
#include "test_window.h"
#include "user_dialogs.h"

using namespace velmora;
using velmora::testing::FakeDialogs;
using velmora::testing::FakeSettings;
using velmora::testing::plainPicture;
using velmora::testing::TestWindow;
using velmora::testing::writePng;

namespace {

class MainWindowTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(folder.isValid()); }

    MainWindow& open(QMap<QString, QString> stored = {}) {
        test = std::make_unique<TestWindow>(folder.path(), std::move(stored));
        dialogs = &test->dialogs();
        settings = &test->settings();
        form = &test->window();
        return *form;
    }

    QString writePicture(const QString& name, int width, int height, QColor colour = Qt::red) {
        return writePng(folder.filePath(name), plainPicture(width, height, colour));
    }

    template <typename T>
    T* control(const char* name) {
        return test->control<T>(name);
    }

    QTemporaryDir folder;
    FakeDialogs* dialogs = nullptr;
    FakeSettings* settings = nullptr;
    std::unique_ptr<TestWindow> test;
    MainWindow* form = nullptr;
};

TEST_F(MainWindowTest, FirstStartSelectsBoxAndWritesBothOptions) {
    MainWindow& f = open();
    EXPECT_EQ(f.selection().mode(), SelectionMode::Box);
    EXPECT_EQ(f.selection().lastPointIndex(), -1);
    EXPECT_TRUE(control<QRadioButton>("boxOption")->isChecked());
    EXPECT_EQ(settings->values.value("Option1"), "False");
    EXPECT_EQ(settings->values.value("Option2"), "True");
    EXPECT_EQ(settings->writes, (QStringList{"Option1", "Option2"}));
    EXPECT_TRUE(dialogs->shown.isEmpty());
    EXPECT_EQ(f.windowTitle(), "Velmora");
    EXPECT_EQ(f.appTitle(), "Velmora");
}

TEST_F(MainWindowTest, StoredPolygonSelectsPolygon) {
    MainWindow& f = open({{"Option1", "True"}, {"Option2", "False"}});
    EXPECT_EQ(f.selection().mode(), SelectionMode::Polygon);
    EXPECT_TRUE(control<QRadioButton>("polygonOption")->isChecked());
    EXPECT_FALSE(control<QRadioButton>("boxOption")->isChecked());
}

TEST_F(MainWindowTest, UnreadableStoredOptionIsReportedAndStartUpGoesOn) {
    MainWindow& f = open({{"Option1", "sideways"}});
    ASSERT_EQ(dialogs->texts("error").size(), 1);
    EXPECT_TRUE(dialogs->texts("error")[0].startsWith(
        "Type mismatch\r\nin Dunmerrow2017/04/05.Form1.Form_Load at line 128\r\r"));
    EXPECT_EQ(f.selection().mode(), SelectionMode::Box);
}

TEST_F(MainWindowTest, WindowHasFixedSizeAndControlsAtTheirPlaces) {
    MainWindow& f = open();
    EXPECT_EQ(f.size(), QSize(536, 738));
    EXPECT_EQ(f.minimumSize(), f.maximumSize());
    EXPECT_FALSE(f.windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_EQ(control<QPushButton>("loadSampleButton")->geometry(), QRect(272, 8, 256, 27));
    EXPECT_EQ(control<QPushButton>("loadSampleButton")->text(), "Load Sample/Example Image");
    EXPECT_EQ(control<QPushButton>("saveButton")->geometry(), QRect(8, 704, 520, 27));
    EXPECT_FALSE(control<QPushButton>("undoButton")->isEnabled());
    EXPECT_EQ(control<QWidget>("pictureView")->geometry(), QRect(8, 78, 520, 385));
    // The preview frame starts below the client area and so is never seen.
    EXPECT_GE(control<QGroupBox>("previewBox")->y(), f.height());
    EXPECT_EQ(control<QPushButton>("removeButton")->font().pointSizeF(), 11.25);
    EXPECT_TRUE(control<QPushButton>("removeButton")->font().bold());
    f.show();
    EXPECT_EQ(f.frameGeometry().center(), f.screen()->availableGeometry().center());
}

TEST_F(MainWindowTest, KeysReachTheSlidersAndPressButtonsButNotTheHiddenPreview) {
    MainWindow& f = open();
    f.show();
    QApplication::setActiveWindow(&f);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&f));
    QList<QWidget*> stops;
    for (int i = 0; i < 20; ++i) {
        QTest::keyClick(f.windowHandle(), Qt::Key_Tab);
        stops << QApplication::focusWidget();
    }
    EXPECT_TRUE(stops.contains(control<QWidget>("blockSizeSlider")));
    EXPECT_TRUE(stops.contains(control<QWidget>("scanBorderSlider")));
    EXPECT_FALSE(stops.contains(control<QWidget>("previewCheck")));
    control<QWidget>("blockSizeSlider")->setFocus();
    QTest::keyClick(f.windowHandle(), Qt::Key_Right);
    EXPECT_EQ(control<QLabel>("blockSizeLabel")->text(), "6");
    control<QWidget>("loadFileHelpButton")->setFocus();
    QTest::keyClick(f.windowHandle(), Qt::Key_Return);
    EXPECT_EQ(dialogs->texts("message").size(), 1);
}

TEST_F(MainWindowTest, HandCursorLoadsFromProgramFolder) {
    ASSERT_TRUE(
        QFile::copy(VELMORA_SOURCE_DIR "/resources/HAND-M.CUR", folder.filePath("HAND-M.CUR")));
    MainWindow& f = open();
    EXPECT_TRUE(f.hasHandCursor());
    EXPECT_TRUE(dialogs->shown.isEmpty());
}

TEST_F(MainWindowTest, BrokenCursorFileIsReportedAtStep108) {
    QFile bad(folder.filePath("HAND-M.CUR"));
    ASSERT_TRUE(bad.open(QIODevice::WriteOnly));
    bad.write("nonsense");
    bad.close();
    MainWindow& f = open();
    EXPECT_FALSE(f.hasHandCursor());
    ASSERT_EQ(dialogs->texts("error").size(), 1);
    EXPECT_TRUE(dialogs->texts("error")[0].contains("Form_Load at line 108"));
}

// With a skin file present the window, frames, options and labels fill their
// background with the button face; without one they are left alone.
TEST_F(MainWindowTest, SkinFilePaintsFramesAndLabelsWithTheButtonFace) {
    for (const bool skin : {false, true}) {
        if (skin) {
            ASSERT_TRUE(QDir(folder.path()).mkpath("x"));
            QFile file(folder.filePath("x/o.cjs"));
            ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        }
        MainWindow& f = open();
        EXPECT_EQ(f.autoFillBackground(), skin);
        for (const char* name : {"selectionBox", "polygonOption", "blockSizeLabel"}) {
            const QWidget* widget = control<QWidget>(name);
            EXPECT_EQ(widget->autoFillBackground(), skin) << name;
            if (skin)
                EXPECT_EQ(widget->palette().color(QPalette::Window),
                          QApplication::palette().color(QPalette::Button))
                    << name;
        }
        EXPECT_FALSE(control<QPushButton>("removeButton")->autoFillBackground());
    }
}

// The cursor the window system is given as the pointer moves over each place.
TEST_F(MainWindowTest, PointerShowsTheHandOverEveryPushButtonAndTheHourglassDuringARun) {
    ASSERT_TRUE(
        QFile::copy(VELMORA_SOURCE_DIR "/resources/HAND-M.CUR", folder.filePath("HAND-M.CUR")));
    MainWindow& f = open();
    f.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&f));
    const char* places[] = {"loadFileButton",      "helpButton",          "removeButton",
                            "loadSampleButton",    "saveButton",          "loadFileHelpButton",
                            "removeHelpButton",    "blockSizeHelpButton", "scanBorderHelpButton",
                            "selectionHelpButton", "undoButton",          "blockSizeBox",
                            "scanBorderLabel",     "mainWindow"};
    for (int busy = 0; busy < 2; ++busy) {
        f.setPointer(busy ? Pointer::Hourglass : Pointer::Default);
        for (const char* place : places) {
            QWidget* widget = place == QLatin1String("mainWindow") ? &f : control<QWidget>(place);
            const QPoint at =
                widget == &f ? QPoint(3, 3) : QPoint(widget->width() / 2, widget->height() / 2);
            QTest::mouseMove(widget, at);
            // A disabled button cannot be clicked, so it shows no hand (Undo at start-up).
            const bool clickable = qobject_cast<QPushButton*>(widget) && widget->isEnabled();
            const Qt::CursorShape expected = busy        ? Qt::WaitCursor
                                             : clickable ? Qt::BitmapCursor
                                                         : Qt::ArrowCursor;
            EXPECT_EQ(f.windowHandle()->cursor().shape(), expected) << place << " busy " << busy;
        }
    }
}

TEST_F(MainWindowTest, SampleLoadsAndShowsTheTip) {
    QDir(folder.path()).mkdir("Samples");
    writePicture("Samples/sample.jpg", 640, 427);
    MainWindow& f = open();
    QTest::mouseClick(control<QPushButton>("loadSampleButton"), Qt::LeftButton);
    EXPECT_EQ(f.workPicture()->size(), QSize(640, 427));
    EXPECT_EQ(f.workPicture()->image().pixel(5, 5), QColor(Qt::red).rgb());
    EXPECT_EQ(dialogs->texts("message"),
              QStringList{"Try removing the time/date stamp in the lower right hand corner."});
    EXPECT_EQ(dialogs->shown.back().title, "Velmora");
}

TEST_F(MainWindowTest, MissingSampleIsReportedAtStep102AndTheTipStillShows) {
    MainWindow& f = open();
    const QSize before = f.workPicture()->size();
    QTest::mouseClick(control<QPushButton>("loadSampleButton"), Qt::LeftButton);
    ASSERT_EQ(dialogs->texts("error").size(), 1);
    EXPECT_TRUE(dialogs->texts("error")[0].contains("PushButton4_Click at line 102"));
    EXPECT_EQ(dialogs->texts("message").size(), 1);
    EXPECT_EQ(f.workPicture()->size(), before);
}

TEST_F(MainWindowTest, BigPictureBoundaryAsksOnlyFrom1512Pixels) {
    MainWindow& f = open();
    dialogs->openReply = {writePicture("a.png", 1511, 1511)};
    QTest::mouseClick(control<QPushButton>("loadFileButton"), Qt::LeftButton);
    EXPECT_TRUE(dialogs->texts("ask").isEmpty());
    EXPECT_EQ(f.workPicture()->size(), QSize(1511, 1511));

    dialogs->openReply = {writePicture("b.png", 1512, 20)};
    dialogs->answer = false;
    QTest::mouseClick(control<QPushButton>("loadFileButton"), Qt::LeftButton);
    ASSERT_EQ(dialogs->texts("ask").size(), 1);
    EXPECT_EQ(dialogs->texts("ask")[0],
              "This image file size is big.\r\rWould you like to "
              "reduce the quality of the image and then edit?");
    EXPECT_EQ(dialogs->shown.back().title, "Big Image File");
    EXPECT_EQ(f.workPicture()->size(), QSize(1512, 20));
}

TEST_F(MainWindowTest, AnsweringYesFitsTheWholePictureInside487By380KeepingItsShape) {
    MainWindow& f = open();
    // A portrait, left half blue, right half yellow: both halves remain, unstretched.
    QImage image(1600, 3200, QImage::Format_RGB32);
    image.fill(Qt::blue);
    for (int y = 0; y < 3200; ++y)
        for (int x = 800; x < 1600; ++x) image.setPixel(x, y, qRgb(255, 255, 0));
    const QString path = folder.filePath("big.png");
    ASSERT_TRUE(image.save(path));
    dialogs->openReply = {path};
    dialogs->answer = true;
    QTest::mouseClick(control<QPushButton>("loadFileButton"), Qt::LeftButton);
    EXPECT_TRUE(dialogs->texts("error").isEmpty());
    EXPECT_EQ(f.workPicture()->size(), QSize(190, 380));
    EXPECT_EQ(f.workPicture()->picture().size(), QSize(190, 380));
    EXPECT_EQ(f.workPicture()->picture().pixel(10, 190), qRgb(0, 0, 255));
    EXPECT_EQ(f.workPicture()->picture().pixel(180, 190), qRgb(255, 255, 0));
}

TEST_F(MainWindowTest, NonPictureFromTheDialogIsReportedAtStep114AndThePictureStays) {
    MainWindow& f = open();
    dialogs->openReply = {writePicture("first.png", 100, 60, Qt::blue)};
    QTest::mouseClick(control<QPushButton>("loadFileButton"), Qt::LeftButton);
    QFile text(folder.filePath("notes.txt"));
    ASSERT_TRUE(text.open(QIODevice::WriteOnly));
    text.write("plain words");
    text.close();
    dialogs->openReply = {text.fileName()};
    QTest::mouseClick(control<QPushButton>("loadFileButton"), Qt::LeftButton);
    ASSERT_EQ(dialogs->texts("error").size(), 1);
    EXPECT_TRUE(dialogs->texts("error")[0].contains("PushButton1_Click at line 114"));
    EXPECT_EQ(f.workPicture()->size(), QSize(100, 60));
    EXPECT_EQ(f.workPicture()->image().pixel(1, 1), QColor(Qt::blue).rgb());
}

TEST_F(MainWindowTest, CancelledDialogShowsNothingAndTwoFilesAskForOne) {
    MainWindow& f = open();
    const QSize before = f.workPicture()->size();
    dialogs->openReply = {};
    QTest::mouseClick(control<QPushButton>("loadFileButton"), Qt::LeftButton);
    EXPECT_TRUE(dialogs->shown.isEmpty());
    EXPECT_EQ(f.workPicture()->size(), before);
    dialogs->openReply = {"a.png", "b.png"};
    QTest::mouseClick(control<QPushButton>("loadFileButton"), Qt::LeftButton);
    EXPECT_EQ(dialogs->texts("message"), QStringList{"Please select 1 picture."});
}

TEST_F(MainWindowTest, DropRulesFollowExtensionFolderAndCount) {
    MainWindow& f = open();
    writePicture("photo.png", 30, 20);
    QFile::rename(folder.filePath("photo.png"), folder.filePath("photo.JPEG"));
    f.dropFiles({folder.filePath("photo.JPEG")});
    EXPECT_EQ(f.workPicture()->size(), QSize(30, 20));
    f.dropFiles({writePicture("archive.tar.png", 40, 25)});
    EXPECT_EQ(f.workPicture()->size(), QSize(40, 25));
    EXPECT_TRUE(dialogs->shown.isEmpty());

    struct Case {
        QList<QString> files;
        const char* message;
    } cases[] = {
        {{folder.filePath("notes.txt")}, "Please select picture."},
        {{folder.path()}, "Please select 1 picture."},
        {{folder.filePath("a.png"), folder.filePath("b.png")}, "Please select 1 picture."},
    };
    for (const Case& c : cases) {
        dialogs->shown.clear();
        f.dropFiles(c.files);
        EXPECT_EQ(dialogs->texts("message"), QStringList{c.message}) << c.message;
        EXPECT_EQ(f.workPicture()->size(), QSize(40, 25)) << c.message;
    }
    dialogs->shown.clear();
    f.dropFiles({});
    EXPECT_TRUE(dialogs->shown.isEmpty());
}

TEST_F(MainWindowTest, UnreadableDropIsReportedAndThePictureStays) {
    MainWindow& f = open();
    f.dropFiles({writePicture("good.png", 50, 50, Qt::green)});
    QFile broken(folder.filePath("broken.png"));
    ASSERT_TRUE(broken.open(QIODevice::WriteOnly));
    broken.write("\x89PNG\r\n\x1a\n truncated");
    broken.close();
    f.dropFiles({broken.fileName()});
    ASSERT_EQ(dialogs->texts("error").size(), 1);
    EXPECT_EQ(f.workPicture()->size(), QSize(50, 50));
    EXPECT_EQ(f.workPicture()->image().pixel(3, 3), QColor(Qt::green).rgb());
}

TEST_F(MainWindowTest, PictureTooWideForTheViewIsReportedNotCrashing) {
    MainWindow& f = open();
    f.dropFiles({writePicture("fine.png", 64, 48)});
    f.dropFiles({writePicture("wide.png", 33000, 2)});
    ASSERT_EQ(dialogs->texts("error").size(), 1);
    EXPECT_EQ(f.workPicture()->size(), QSize(64, 48));
}

TEST_F(MainWindowTest, TransparentPixelsShowAsWhiteAndTheStartUpIconHoldsNoMark) {
    MainWindow& f = open();
    EXPECT_EQ(f.workPicture()->image().pixel(0, 0), qRgb(255, 255, 255));
    QTest::mouseClick(control<QPushButton>("removeButton"), Qt::LeftButton);
    EXPECT_TRUE(dialogs->shown.isEmpty()) << "the icon was filled as a mark";

    QImage clear(4, 2, QImage::Format_ARGB32);
    clear.fill(qRgba(0, 0, 255, 0));
    clear.setPixel(1, 1, qRgba(255, 0, 0, 128));
    dialogs->openReply = {folder.filePath("clear.png")};
    ASSERT_TRUE(clear.save(dialogs->openReply[0]));
    QTest::mouseClick(control<QPushButton>("loadFileButton"), Qt::LeftButton);
    EXPECT_EQ(f.workPicture()->image().pixel(0, 0), qRgb(255, 255, 255));
    EXPECT_EQ(f.workPicture()->image().pixel(1, 1), qRgb(255, 127, 127));
}

// Adobe RGB (200, 100, 50) is sRGB (227, 100, 42), worked out from the two
// spaces' published primaries and transfer curves.
TEST_F(MainWindowTest, ProfiledPictureShowsInSrgbAndKeepsItsValues) {
    MainWindow& f = open();
    QImage adobe(40, 30, QImage::Format_RGB32);
    adobe.fill(qRgb(200, 100, 50));
    adobe.setColorSpace(QColorSpace(QColorSpace::AdobeRgb));
    dialogs->openReply = {folder.filePath("adobe.png")};
    ASSERT_TRUE(adobe.save(dialogs->openReply[0]));
    QTest::mouseClick(control<QPushButton>("loadFileButton"), Qt::LeftButton);
    EXPECT_EQ(f.workPicture()->image().pixel(10, 10), qRgb(200, 100, 50));
    const QRgb shown = f.workPicture()->grab().toImage().pixel(10, 10);
    EXPECT_NEAR(qRed(shown), 227, 2);
    EXPECT_NEAR(qGreen(shown), 100, 2);
    EXPECT_NEAR(qBlue(shown), 42, 2);
}

// Each key press reaches the window's filter once, whichever control has the focus.
TEST_F(MainWindowTest, EachClipboardKeyActsOnceWhateverHasTheFocus) {
    MainWindow& f = open();
    f.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&f));
    for (const char* name :
         {"loadFileButton", "blockSizeHelpButton", "scanBorderSlider", "boxOption"}) {
        auto* unreadable = new QMimeData;
        unreadable->setData("application/x-qt-image", "not a picture");
        QApplication::clipboard()->setMimeData(unreadable);
        control<QWidget>(name)->setFocus();
        dialogs->shown.clear();
        QTest::keyClick(f.windowHandle(), Qt::Key_V, Qt::ControlModifier);
        EXPECT_EQ(dialogs->texts("message").size(), 1) << name;
    }
}

struct BarCase {
    int width, height;
    bool hShown, vShown;
    QRect hGeometry, vGeometry;
    int hMax, vMax;
    QPoint corner;
};

TEST_F(MainWindowTest, ScrollBarsAreArrangedForThePictureSize) {
    MainWindow& f = open();
    const BarCase cases[] = {
        // Picture taller (wider) than the bar: a negative range, shown as none.
        {400, 365, false, false, QRect(0, 373, 400, 12), QRect(400, 0, 12, 373), 0, 0, {400, 373}},
        {500, 200, false, false, QRect(0, 200, 508, 12), QRect(508, 0, 12, 200), 0, 0, {508, 200}},
        // As wide as the view: no horizontal bar.
        {520, 100, false, false, QRect(0, 100, 508, 12), QRect(508, 0, 12, 100), 12, 0, {508, 100}},
        // One pixel wider: the bar lies at the view's bottom minus 12, maximum 13.
        {521, 100, true, false, QRect(0, 100, 508, 12), QRect(508, 0, 12, 100), 13, 0, {508, 100}},
        // Narrow and tall: the vertical bar touches the picture's right edge.
        {300, 900, false, true, QRect(0, 373, 300, 12), QRect(300, 0, 12, 373), 0, 527, {300, 373}},
        // Between Wv - 12 and Wv wide: the bar covers the picture's last columns.
        {515, 900, false, true, QRect(0, 373, 508, 12), QRect(508, 0, 12, 373), 7, 527, {508, 373}},
    };
    for (const BarCase& c : cases) {
        const QString name = QStringLiteral("%1x%2").arg(c.width).arg(c.height);
        f.dropFiles({writePicture(name + ".png", c.width, c.height)});
        auto* h = control<QScrollBar>("horizontalScrollBar");
        auto* v = control<QScrollBar>("verticalScrollBar");
        auto* corner = control<QGroupBox>("scrollCorner");
        const std::string label = name.toStdString();
        EXPECT_EQ(!h->isHidden(), c.hShown) << label;
        EXPECT_EQ(!v->isHidden(), c.vShown) << label;
        EXPECT_EQ(!corner->isHidden(), c.hShown || c.vShown) << label;
        EXPECT_EQ(h->geometry(), c.hGeometry) << label;
        EXPECT_EQ(v->geometry(), c.vGeometry) << label;
        EXPECT_EQ(h->maximum(), c.hMax) << label;
        EXPECT_EQ(v->maximum(), c.vMax) << label;
        EXPECT_EQ(h->pageStep(), c.width) << label;
        EXPECT_EQ(corner->pos(), c.corner) << label;
        EXPECT_EQ(QPoint(h->minimum(), v->minimum()), QPoint(0, 0)) << label;
        EXPECT_EQ(QPoint(h->value(), v->value()), QPoint(0, 0)) << label;
        EXPECT_EQ(f.workPicture()->pos(), QPoint(0, 0)) << label;
    }
}

TEST_F(MainWindowTest, ScrollingMovesThePictureAndANewLoadResetsIt) {
    MainWindow& f = open();
    f.dropFiles({writePicture("big.png", 900, 700)});
    auto* h = control<QScrollBar>("horizontalScrollBar");
    auto* v = control<QScrollBar>("verticalScrollBar");
    f.show();
    // A click in the track jumps to the end of the range.
    QTest::mouseClick(h, Qt::LeftButton, {}, QPoint(h->width() - 20, 6));
    EXPECT_EQ(h->value(), h->maximum());
    EXPECT_EQ(f.workPicture()->x(), -h->maximum());
    h->setValue(37);
    v->setValue(12);
    EXPECT_EQ(f.workPicture()->pos(), QPoint(-37, -12));
    f.dropFiles({writePicture("small.png", 200, 100)});
    EXPECT_EQ(h->value(), 0);
    EXPECT_EQ(v->value(), 0);
    EXPECT_EQ(f.workPicture()->pos(), QPoint(0, 0));
}

// Closed while the load lets events run: the sample's tip never shows.
TEST_F(MainWindowTest, ClosingAsksTheRunToStopAndNothingShowsAfterwards) {
    QDir(folder.path()).mkdir("Samples");
    writePicture("Samples/sample.jpg", 1600, 20);
    MainWindow& f = open();
    f.show();
    dialogs->answer = true;
    QTimer::singleShot(0, &f, [&] { f.close(); });
    QTest::mouseClick(control<QPushButton>("loadSampleButton"), Qt::LeftButton);
    EXPECT_TRUE(f.removal().isStopRequested());
    EXPECT_EQ(dialogs->shown.size(), 1);
    EXPECT_EQ(dialogs->texts("ask").size(), 1);
}

}  // namespace

namespace {

TEST_F(MainWindowTest, BlockSizeLiftsScanBorderToTwiceItsValue) {
    open();
    auto* block = control<QScrollBar>("blockSizeSlider");
    auto* border = control<QScrollBar>("scanBorderSlider");
    auto* blockLabel = control<QLabel>("blockSizeLabel");
    auto* borderLabel = control<QLabel>("scanBorderLabel");
    EXPECT_EQ(blockLabel->text(), "4");
    EXPECT_EQ(borderLabel->text(), "10");
    block->triggerAction(QAbstractSlider::SliderSingleStepAdd);
    EXPECT_EQ(block->value(), 6);
    EXPECT_EQ(border->value(), 12);
    EXPECT_EQ(borderLabel->text(), "12");
    block->triggerAction(QAbstractSlider::SliderPageStepAdd);
    EXPECT_EQ(block->value(), 14);
    block->setValue(32);
    EXPECT_EQ(border->value(), 64);
    block->setValue(3);
    EXPECT_EQ(blockLabel->text(), "3");
    EXPECT_EQ(border->value(), 64);
    border->setValue(10);
    EXPECT_EQ(borderLabel->text(), "10");
    block->setValue(9);
    EXPECT_EQ(border->value(), 18);
    border->triggerAction(QAbstractSlider::SliderPageStepAdd);
    EXPECT_EQ(border->value(), 28);
}

TEST_F(MainWindowTest, LabelsDoNotFollowADraggedThumb) {
    open();
    auto* block = control<QScrollBar>("blockSizeSlider");
    block->setSliderDown(true);
    block->setSliderPosition(20);
    EXPECT_EQ(control<QLabel>("blockSizeLabel")->text(), "4");
    block->setSliderDown(false);
    EXPECT_EQ(control<QLabel>("blockSizeLabel")->text(), "20");
    EXPECT_EQ(control<QScrollBar>("scanBorderSlider")->value(), 40);
}

TEST_F(MainWindowTest, HelpButtonsShowTheirMessages) {
    open();
    const struct {
        const char* button;
        QString text;
    } cases[] = {
        {"helpButton",
         "Questions? Please contact the Velmora support team at "
         "https://velmora.app/contact"},
        {"loadFileHelpButton",
         "Click this button to select the image file (BMP, JPG, GIF, PNG) that you would like to "
         "modify.\r\n\r\nAfter loading the image, click on the image (with the crosshair cursor) "
         "and create a small box around the object you would like to remove and then click "
         "'Start Removing'."},
        {"selectionHelpButton",
         "This method will allow you to select a region around the object to remove. Please "
         "remember to make your final click at your starting position to make a ''complete'' "
         "shape.\r\n\r\nSingle-click to start selecting.\r\nRight-click to reset/cancel.\r\n"
         "Double-click to finish."},
        {"removeHelpButton",
         "Create a small square around the part of the image you would like to remove.\r\n\r\n"
         "The smaller the box, the better the removal appears to the eye. It may be best to use "
         "multiple boxes instead of one big box.\r\n\r\nModifying the block size and scan border "
         "will change the results as well."},
        {"blockSizeHelpButton",
         "Block Size defines the size of the blocks that are used to remove the object inside "
         "the picture. Use the slider to adjust the size (Minimum size is 2, Maximum size is 32. "
         "A smaller size is recommended for small parts to be removed. A bigger size is used for "
         "bigger objects)."},
        {"scanBorderHelpButton",
         "Scan Border defines the size of the area (green box) that is used to definde the area "
         "of the object that needs to be removed. Use the slider to adjust size."},
    };
    for (const auto& c : cases) {
        dialogs->shown.clear();
        QTest::mouseClick(control<QPushButton>(c.button), Qt::LeftButton);
        ASSERT_EQ(dialogs->shown.size(), 1) << c.button;
        EXPECT_EQ(dialogs->shown[0].kind, "message") << c.button;
        EXPECT_EQ(dialogs->shown[0].title, "Velmora") << c.button;
        EXPECT_EQ(dialogs->shown[0].text, c.text) << c.button;
    }
}

// The real message boxes: a path is not markup, and a short text stays on one line.
// Also run on a 1920 x 1080 screen, where the box's own width limit used to cut lines off.
TEST(MessageBoxes, ShowPlainTextWholeAndKeepAShortLineWhole) {
    QTemporaryDir folder(QDir::tempPath() + "/x<b>y-" + QString(120, 'p') + "-XXXXXX");
    ASSERT_TRUE(folder.isValid());
    MainWindow f(std::make_unique<QtUserDialogs>(), std::make_unique<FakeSettings>(),
                 folder.path());
    f.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&f));
    struct Seen {
        QString title, text;
        Qt::TextFormat format;
        int lines;
        bool whole;
    };
    QList<Seen> seen;
    QTimer answer;
    QObject::connect(&answer, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || !box->isVisible()) return;
        auto* label = box->findChild<QLabel*>("qt_msgbox_label");
        // Whole: every line fits the label's width, all lines its height, the box the screen.
        const QStringList lines = box->text().split(QRegularExpression("\r\n|\r|\n"));
        const QFontMetrics metrics = label->fontMetrics();
        bool whole = lines.size() * metrics.lineSpacing() <= label->height() &&
                     box->frameGeometry().width() <= box->screen()->availableGeometry().width();
        for (const QString& line : lines)
            whole = whole && metrics.horizontalAdvance(line) <= label->contentsRect().width();
        seen.push_back({box->windowTitle(), box->text(), label->textFormat(),
                        label->height() / metrics.lineSpacing(), whole});
        QTest::keyClick(box, Qt::Key_Return);
    });
    answer.start(20);
    QTest::mouseClick(f.findChild<QPushButton*>("helpButton"), Qt::LeftButton);
    QTest::mouseClick(f.findChild<QPushButton*>("loadSampleButton"), Qt::LeftButton);
    for (const char* help :
         {"loadFileHelpButton", "selectionHelpButton", "removeHelpButton", "blockSizeHelpButton"})
        QTest::mouseClick(f.findChild<QPushButton*>(help), Qt::LeftButton);
    ASSERT_EQ(seen.size(), 7);
    EXPECT_EQ(seen[0].title, "Velmora");
    EXPECT_EQ(seen[0].lines, 1) << "the Help message wraps";
    EXPECT_EQ(seen[1].title, "Application Error");
    EXPECT_TRUE(seen[1].text.contains("x<b>y")) << seen[1].text.toStdString();
    for (const Seen& s : seen) {
        EXPECT_EQ(s.format, Qt::PlainText) << s.text.toStdString();
        EXPECT_TRUE(s.whole) << s.text.toStdString();
    }
}

}  // namespace
