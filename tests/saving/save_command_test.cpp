#include "save_command.h"

#include <gtest/gtest.h>

#include <QColorSpace>
#include <QDir>
#include <QFile>
#include <QImageReader>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTest>

#include "fakes.h"
#include "main_window.h"
#include "picture_box.h"

using namespace velmora;

namespace {

TEST(SavePath, KnownExtensionsAreDroppedWhateverTheirCase) {
    EXPECT_EQ(saveBasePath("/p/photo.PNG") + saveExtension(kSaveJpg), "/p/photo.jpg");
    EXPECT_EQ(saveBasePath("/p/photo.jpeg") + saveExtension(kSaveJpg), "/p/photo.jpeg.jpg");
    EXPECT_EQ(saveBasePath("/p/photo") + saveExtension(kSaveGif), "/p/photo.gif");
    EXPECT_EQ(saveBasePath("/p/photo.bmp") + saveExtension(kSaveBmp), "/p/photo.bmp");
    EXPECT_EQ(saveExtension(5), "");
}

class SaveTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(folder.isValid());
        ASSERT_TRUE(temp.isValid());
        qputenv("TEMP", temp.path().toLocal8Bit());
        auto dialogs = std::make_unique<velmora::testing::FakeDialogs>();
        this->dialogs = dialogs.get();
        form = std::make_unique<MainWindow>(
            std::move(dialogs), std::make_unique<velmora::testing::FakeSettings>(), folder.path());
        picture = QImage(40, 30, QImage::Format_RGB32);
        for (int y = 0; y < 30; ++y)
            for (int x = 0; x < 40; ++x) picture.setPixel(x, y, qRgb(x * 6, y * 8, 100));
        const QString path = folder.filePath("in.png");
        ASSERT_TRUE(picture.save(path));
        form->dropFiles({path});
        save = form->findChild<QPushButton*>("saveButton");
    }
    void TearDown() override { qunsetenv("TEMP"); }

    void saveAs(const QString& path, int filter) {
        dialogs->saveReply = path;
        dialogs->saveFilterReply = filter;
        QTest::mouseClick(save, Qt::LeftButton);
    }
    QStringList leftInTemp() const {
        return QDir(temp.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
    }

    QTemporaryDir folder;
    QTemporaryDir temp;
    velmora::testing::FakeDialogs* dialogs = nullptr;
    std::unique_ptr<MainWindow> form;
    QImage picture;
    QPushButton* save = nullptr;
};

TEST_F(SaveTest, BmpSavesThePictureWithItsMarksAndCleansUp) {
    QTest::mousePress(form->workPicture(), Qt::LeftButton, {}, QPoint(3, 3));
    QTest::mouseRelease(form->workPicture(), Qt::LeftButton, {}, QPoint(5, 5));
    const QString target = folder.filePath("out.bmp");
    saveAs(target, kSaveBmp);
    ASSERT_EQ(dialogs->shown.front().kind, "save");
    EXPECT_EQ(dialogs->shown.front().title, "Save File");
    EXPECT_EQ(dialogs->shown.front().text,
              "Bitmap Files (*.bmp)|JPG Files (*.jpg)|GIF Files (*.gif)|PNG Files (*.png)");
    EXPECT_TRUE(dialogs->texts("error").isEmpty())
        << dialogs->texts("error").join("\n").toStdString();
    QImage written(target);
    ASSERT_FALSE(written.isNull());
    QFile bmp(target);
    ASSERT_TRUE(bmp.open(QIODevice::ReadOnly));
    EXPECT_EQ(bmp.read(30).at(28), 24) << "bits per pixel in the BMP header";
    EXPECT_EQ(written.convertToFormat(QImage::Format_RGB32), form->workPicture()->image());
    EXPECT_EQ(written.pixel(4, 4), qRgb(0, 255, 0));
    EXPECT_TRUE(leftInTemp().isEmpty()) << leftInTemp().join(",").toStdString();
    EXPECT_EQ(form->pointer(), Pointer::Default);
}

TEST_F(SaveTest, SaveRepaintsThePictureOverAnOutlineUnderConstruction) {
    auto greenOnScreen = [this] {
        const QImage shown =
            form->workPicture()->grab().toImage().convertToFormat(QImage::Format_RGB32);
        int n = 0;
        for (int y = 0; y < shown.height(); ++y)
            for (int x = 0; x < shown.width(); ++x) n += shown.pixel(x, y) == qRgb(0, 255, 0);
        return n;
    };
    QTest::mouseClick(form->findChild<QRadioButton*>("polygonOption"), Qt::LeftButton);
    QTest::mouseClick(form->workPicture(), Qt::LeftButton, {}, QPoint(5, 5));
    QTest::mouseClick(form->workPicture(), Qt::LeftButton, {}, QPoint(30, 20));
    ASSERT_GT(greenOnScreen(), 0);
    saveAs(folder.filePath("out.bmp"), kSaveBmp);
    EXPECT_EQ(greenOnScreen(), 0);
}

TEST_F(SaveTest, CancelledDialogTouchesNothing) {
    saveAs(QString(), kSaveBmp);
    EXPECT_EQ(dialogs->shown.size(), 1);
    EXPECT_TRUE(leftInTemp().isEmpty());
    EXPECT_EQ(form->pointer(), Pointer::Default);
}

TEST_F(SaveTest, AnsweringNoKeepsTheExistingFile) {
    const QString target = folder.filePath("keep.bmp");
    QFile old(target);
    ASSERT_TRUE(old.open(QIODevice::WriteOnly));
    old.write("old contents");
    old.close();
    dialogs->answer = false;
    saveAs(folder.filePath("keep.BMP"), kSaveBmp);
    ASSERT_EQ(dialogs->texts("confirm").size(), 1);
    EXPECT_EQ(dialogs->texts("confirm")[0],
              "This folder already contains a file named keep.bmp\r\nWould you like to repace "
              "the existing file?");
    QFile check(target);
    ASSERT_TRUE(check.open(QIODevice::ReadOnly));
    EXPECT_EQ(check.readAll(), "old contents");
    EXPECT_TRUE(leftInTemp().isEmpty());
    EXPECT_EQ(form->pointer(), Pointer::Default);

    dialogs->answer = true;
    saveAs(target, kSaveBmp);
    EXPECT_EQ(QImage(target).size(), QSize(40, 30));

    // A name that begins with a dot is an ordinary file here, asked about too.
    ASSERT_TRUE(QFile::copy(target, folder.filePath(".png")));
    dialogs->answer = false;
    saveAs(folder.filePath(".png"), kSavePng);
    EXPECT_TRUE(dialogs->texts("confirm").last().contains("a file named .png\r\n"));
    EXPECT_EQ(QImageReader(folder.filePath(".png")).format(), "bmp");
}

TEST_F(SaveTest, UnwritableDestinationIsReportedAndLeavesNoFile) {
    const QString target = folder.filePath("missing-folder/out.bmp");
    saveAs(target, kSaveBmp);
    ASSERT_EQ(dialogs->texts("error").size(), 1);
    EXPECT_TRUE(dialogs->texts("error")[0].contains("PushButton5_Click at line 144"));
    EXPECT_FALSE(QFile::exists(target));
    EXPECT_TRUE(leftInTemp().isEmpty());
}

TEST_F(SaveTest, MissingTempFolderFallsBackToTheSystemFolder) {
    qputenv("TEMP", folder.filePath("no-such-temp").toLocal8Bit());
    EXPECT_EQ(temporaryRoot(), QDir::tempPath());
    qunsetenv("TEMP");
    EXPECT_EQ(temporaryRoot(), QDir::tempPath());
    const QString target = folder.filePath("fallback.bmp");
    saveAs(target, kSaveBmp);
    EXPECT_TRUE(dialogs->texts("error").isEmpty())
        << dialogs->texts("error").join("\n").toStdString();
    EXPECT_EQ(QImage(target).size(), QSize(40, 30));
}

TEST_F(SaveTest, ConvertedTypesProduceRealFiles) {
    struct Case {
        int filter;
        const char* typed;
        const char* expected;
        const char* format;
    } cases[] = {
        {kSavePng, "a.png", "a.png", "png"},
        {kSaveJpg, "photo.PNG", "photo.jpg", "jpeg"},
        {kSaveGif, "b", "b.gif", "gif"},
        {kSaveJpg, "c.jpeg", "c.jpeg.jpg", "jpeg"},
    };
    for (const Case& c : cases) {
        dialogs->shown.clear();
        saveAs(folder.filePath(c.typed), c.filter);
        EXPECT_TRUE(dialogs->texts("error").isEmpty())
            << c.typed << ": " << dialogs->texts("error").join("\n").toStdString();
        const QString out = folder.filePath(c.expected);
        QImageReader reader(out);
        EXPECT_EQ(reader.format(), QByteArray(c.format)) << c.expected;
        const QImage image = reader.read();
        EXPECT_EQ(image.size(), QSize(40, 30)) << c.expected;
        EXPECT_TRUE(leftInTemp().isEmpty()) << c.expected;
    }
    QImage png(folder.filePath("a.png"));
    EXPECT_EQ(png.convertToFormat(QImage::Format_RGB32), picture);
}

TEST_F(SaveTest, ConvertedSavesKeepTheLoadedFilesColourProfile) {
    QImage adobe = picture;
    adobe.setColorSpace(QColorSpace(QColorSpace::AdobeRgb));
    ASSERT_TRUE(adobe.save(folder.filePath("adobe.png")));
    form->dropFiles({folder.filePath("adobe.png")});
    for (const auto& [filter, name] : {std::pair{kSaveJpg, "kept.jpg"}, {kSavePng, "kept.png"}}) {
        saveAs(folder.filePath(name), filter);
        EXPECT_EQ(QImage(folder.filePath(name)).colorSpace(), QColorSpace(QColorSpace::AdobeRgb))
            << name;
    }
    EXPECT_TRUE(dialogs->texts("error").isEmpty())
        << dialogs->texts("error").join("\n").toStdString();
    EXPECT_TRUE(leftInTemp().isEmpty()) << leftInTemp().join(",").toStdString();
}

TEST_F(SaveTest, FailingConverterIsReportedAndLeavesNoFile) {
    SaveContext context;
    context.window = form.get();
    context.dialogs = dialogs;
    context.picture = [this] { return picture; };
    context.setPointer = [](int) {};
    context.reportError = [this](const QString& t) { dialogs->errorReport(nullptr, t); };
    context.extractConverter = [](const QString& path) {
        QFile script(path);
        ASSERT_TRUE(script.open(QIODevice::WriteOnly));
        script.write(
            "#!/bin/sh\necho 'velmora-convert: working' >&2\n"
            "echo 'velmora-convert: error: the picture is too large' >&2\nexit 3\n");
        script.close();
        script.setPermissions(QFile::ReadOwner | QFile::ExeOwner);
    };
    dialogs->saveReply = folder.filePath("never.png");
    dialogs->saveFilterReply = kSavePng;
    saveResults(context);
    ASSERT_EQ(dialogs->texts("error").size(), 1);
    EXPECT_TRUE(dialogs->texts("error")[0].startsWith(
        folder.filePath("never.png") +
        " was not saved.\r\nThe converter reported: the picture is too large\r\n"));
    EXPECT_TRUE(dialogs->texts("error")[0].contains("PushButton5_Click at line 266"));
    EXPECT_FALSE(QFile::exists(folder.filePath("never.png")));
    EXPECT_TRUE(leftInTemp().isEmpty());
}

}  // namespace
