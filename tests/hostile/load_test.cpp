// Files a user may hand the window through the Open button, a drop or a paste: none may
// break it, replace the picture with a damaged one or leave the user uninformed.
#include <QApplication>
#include <QBuffer>
#include <QClipboard>
#include <QDir>
#include <QFile>
#include <QImageReader>
#include <QMimeData>
#include <QTemporaryDir>
#include <QTest>
#include <functional>

#include "hostile.h"
#include "picture_file.h"

using namespace velmora::hostile;

namespace {

quint32 crc32Of(const QByteArray& bytes) {
    quint32 crc = 0xffffffffu;
    for (const char c : bytes) {
        crc ^= quint8(c);
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

void appendBigEndian(QByteArray& bytes, quint32 value) {
    for (int shift = 24; shift >= 0; shift -= 8) bytes.append(char((value >> shift) & 0xff));
}

QByteArray pngChunk(const char* type, const QByteArray& data) {
    QByteArray chunk;
    appendBigEndian(chunk, quint32(data.size()));
    const QByteArray body = QByteArray(type, 4) + data;
    chunk += body;
    appendBigEndian(chunk, crc32Of(body));
    return chunk;
}

// A well-formed PNG start (signature, IHDR with its CRC) claiming width x height
// RGB pixels, followed by far too little image data.
QByteArray pngClaiming(quint32 width, quint32 height) {
    QByteArray header;
    appendBigEndian(header, width);
    appendBigEndian(header, height);
    header += QByteArray::fromHex("0802000000");  // 8 bits, RGB, deflate, no filter, no interlace
    const QByteArray someRows = qCompress(QByteArray(256, '\0')).mid(4);  // zlib stream
    return QByteArray::fromHex("89504e470d0a1a0a") + pngChunk("IHDR", header) +
           pngChunk("IDAT", someRows) + pngChunk("IEND", {});
}

class HostileLoad : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(folder.isValid());
        window = std::make_unique<Window>(folder.path());
    }

    QString writePicture(const QString& name, const QImage& image) {
        const QString path = folder.filePath(name);
        EXPECT_TRUE(QDir().mkpath(QFileInfo(path).path()));
        EXPECT_TRUE(image.save(path, "PNG")) << path.toStdString();
        return path;
    }

    // Puts a known picture on screen and returns what must survive a refusal.
    Shown showPrevious(Route route) {
        const QImage previous = texturedPicture(70, 50, 1);
        window->expectLoads(writePicture("previous.png", previous), route, previous, "previous");
        window->dialogs().shown.clear();
        return window->shown();
    }

    void expectLaterLoadWorks(Route route, const std::string& label) {
        const QImage later = texturedPicture(33, 21, 2);
        window->expectLoads(writePicture("later.png", later), route, later, label + ", later load");
    }

    QTemporaryDir folder;
    std::unique_ptr<Window> window;
};

struct RefusedCase {
    const char* name;
    std::function<QString(const QString& folder)> make;  // returns the path handed over
    const char* reasonOpen;
    const char* reasonDrop;
};
void PrintTo(const RefusedCase& c, std::ostream* os) { *os << c.name; }

QString writeFile(const QString& folder, const char* name, const QByteArray& bytes) {
    const QString path = folder + QLatin1Char('/') + QLatin1String(name);
    writeBytes(path, bytes);
    return path;
}

const RefusedCase kRefused[] = {
    {"EmptyFile", [](const QString& d) { return writeFile(d, "empty.png", {}); }, "empty.png",
     "empty.png"},
    {"TextNamedPng",
     [](const QString& d) { return writeFile(d, "notes.png", "Shopping: bread, milk.\n"); },
     "notes.png", "notes.png"},
    {"HeaderClaims100000x100000",
     [](const QString& d) {
         const QString path = writeFile(d, "huge.png", pngClaiming(100000, 100000));
         // The header itself must be sound, or this would only test garbage.
         EXPECT_EQ(QImageReader(path).size(), QSize(100000, 100000));
         return path;
     },
     "too large", "too large"},
    {"FolderNamedPng",
     [](const QString& d) {
         QDir(d).mkdir("album.png");
         return d + "/album.png";
     },
     "folder", "Please select 1 picture."},
    {"FolderNamedPngWithSlash",
     [](const QString& d) {
         QDir(d).mkdir("shots.png");
         return d + "/shots.png/";
     },
     "folder", "Please select 1 picture."},
    {"NotAWmf",
     [](const QString& d) {
         QByteArray bytes;
         for (int i = 0; i < 4096; ++i) bytes.append(char((i * 37 + 11) % 251));
         return writeFile(d, "drawing.wmf", bytes);
     },
     "drawing.wmf", "drawing.wmf"},
    {"MissingFile", [](const QString& d) { return d + "/gone.png"; }, "gone.png", "gone.png"},
};

class RefusedFile : public HostileLoad,
                    public ::testing::WithParamInterface<std::tuple<RefusedCase, Route>> {};

TEST_P(RefusedFile, SaysWhyKeepsThePictureAndLoadsTheNextOne) {
    const auto& [c, route] = GetParam();
    const Shown before = showPrevious(route);
    window->load(c.make(folder.path()), route);
    window->expectRefused(before, QLatin1String(route == Route::Open ? c.reasonOpen : c.reasonDrop),
                          c.name);
    expectLaterLoadWorks(route, c.name);
}

INSTANTIATE_TEST_SUITE_P(Hostile, RefusedFile,
                         ::testing::Combine(::testing::ValuesIn(kRefused),
                                            ::testing::Values(Route::Open, Route::Drop)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) +
                                    routeName(std::get<1>(info.param));
                         });

// Real pictures in each format, cut short.
struct Format {
    const char* name;
    const char* extension;
    const char* file = nullptr;  // in tests/data, a kind Qt alone does not read alike
};
void PrintTo(const Format& f, std::ostream* os) { *os << f.name; }

QByteArray realPicture(const Format& format, const QString& workFolder) {
    const QString data = QStringLiteral(VELMORA_TEST_DATA);
    if (format.extension == QLatin1String("png")) return fileBytes(data + "/brick.png");
    if (format.extension == QLatin1String("jpg")) return fileBytes(data + "/rocket.jpg");
    if (format.extension == QLatin1String("wmf")) return wmfDrawing(WmfSize::Placeable);
    if (format.file) return fileBytes(data + QLatin1Char('/') + QLatin1String(format.file));
    const QString bmp = workFolder + "/whole.bmp";
    EXPECT_TRUE(
        QImage(data + "/brick.png").convertToFormat(QImage::Format_RGB888).save(bmp, "BMP"));
    if (format.extension == QLatin1String("bmp")) return fileBytes(bmp);
    return gifOf(bmp, workFolder);
}

class CutShort : public HostileLoad,
                 public ::testing::WithParamInterface<std::tuple<Format, Route>> {};

TEST_P(CutShort, IsRefusedOrShownWhole) {
    const auto& [format, route] = GetParam();
    const QByteArray whole = realPicture(format, folder.path());
    ASSERT_GT(whole.size(), 1000);
    const QString wholePath = writeFile(folder.path(), "whole-copy.bin", whole);
    QString error;  // Qt reads no metafiles
    const QImage complete = format.extension == QLatin1String("wmf") || format.file
                                ? velmora::readPictureFile(wholePath, &error)
                                : QImage(wholePath).convertToFormat(QImage::Format_RGB32);
    ASSERT_FALSE(complete.isNull());
    const Shown before = showPrevious(route);

    const qsizetype n = whole.size();
    for (const qsizetype length : {qsizetype(1), qsizetype(8), qsizetype(24), qsizetype(100),
                                   n / 10, n / 2, n * 9 / 10, n - 64, n - 16, n - 2, n - 1}) {
        const std::string label = std::string(format.name) + " cut to " + std::to_string(length);
        const QString name = QStringLiteral("cut-%1.%2").arg(length).arg(format.extension);
        const QString path =
            writeFile(folder.path(), name.toLatin1().constData(), whole.left(length));
        window->dialogs().shown.clear();
        window->load(path, route);
        if (window->complaints().isEmpty()) {
            // Only a cut that lost nothing of the picture may load.
            const Shown now = window->shown();
            EXPECT_TRUE(now.picture == complete)
                << label << ": a damaged picture was shown as if whole";
            EXPECT_GT(length, n - 64)
                << label << ": lost picture data, yet loaded without complaint";
            window->expectLoads(writePicture("previous.png", before.picture), route, before.picture,
                                label + ", back to the previous picture");
        } else {
            window->expectRefused(before, name, label);
        }
    }
    expectLaterLoadWorks(route, format.name);
}

INSTANTIATE_TEST_SUITE_P(
    Hostile, CutShort,
    ::testing::Combine(::testing::Values(Format{"Png", "png"}, Format{"Jpeg", "jpg"},
                                         Format{"Gif", "gif"}, Format{"Bmp", "bmp"},
                                         Format{"Wmf", "wmf"},
                                         Format{"Tiff", "tif", "portrait-6.tif"},
                                         Format{"WebP", "webp", "portrait.webp"},
                                         Format{"Heic", "heic", "portrait.heic"},
                                         Format{"Icon", "ico", "sizes.ico"}),
                       ::testing::Values(Route::Open, Route::Drop)),
    [](const auto& info) {
        return std::string(std::get<0>(info.param).name) + routeName(std::get<1>(info.param));
    });

class AcceptedFile : public HostileLoad, public ::testing::WithParamInterface<Route> {};

TEST_P(AcceptedFile, PathWithSpacesAndNonAsciiLetters) {
    const QImage picture = texturedPicture(45, 35, 3);
    const QString path =
        writePicture(QString::fromUtf8("my pictures/Фото über 写真/été à la mer – ß.png"), picture);
    ASSERT_TRUE(QFileInfo::exists(path));
    window->expectLoads(path, GetParam(), picture, "non-ASCII path");
}

TEST_P(AcceptedFile, OnePixel) {
    const QImage picture = texturedPicture(1, 1, 4);
    window->expectLoads(writePicture("dot.png", picture), GetParam(), picture, "1 x 1");
    expectLaterLoadWorks(GetParam(), "1 x 1");
}

// Photos as phones and cameras give them show upright, an icon its largest image,
// whatever their name says: a rarer extension, a wrong one or none.
TEST_P(AcceptedFile, PhonePicturesShowUprightUnderAnyName) {
    const QString data = QStringLiteral(VELMORA_TEST_DATA "/");
    const char* const kFiles[][3] = {// the file, the name it is given, what it shows
                                     {"portrait-6.jpg", "IMG_0001.jpe", "portrait.png"},
                                     {"portrait-8.jpg", "IMG_0002", "portrait.png"},
                                     {"portrait-6.tif", "scan.TIFF", "portrait.png"},
                                     {"portrait.heic", "IMG_0003.HEIC", "portrait.png"},
                                     {"portrait.webp", "picture.dib", "portrait.png"},
                                     {"sizes.ico", "sizes.ico", "sizes-48.png"}};
    for (const auto& f : kFiles) {
        window->dialogs().shown.clear();
        window->load(writeFile(folder.path(), f[1], fileBytes(data + f[0])), GetParam());
        const QImage upright = QImage(data + f[2]).convertToFormat(QImage::Format_RGB32);
        const double difference = meanDifference(window->shown().picture, upright);
        EXPECT_TRUE(window->complaints().isEmpty() && difference >= 0 && difference <= 4)
            << f[1] << ": " << window->complaints().join(" | ").toStdString() << ", " << difference;
    }
}

// A failed load must not act on whatever picture happens to be on screen: here
// a big one, about which the window would ask and which it would then shrink.
TEST_P(AcceptedFile, FailedLoadAfterABigPictureLeavesIt) {
    const Route route = GetParam();
    const QImage big = texturedPicture(1600, 30, 1);
    window->dialogs().answer = false;  // keep the big picture at full size
    window->load(writePicture("big.png", big), route);
    ASSERT_EQ(window->dialogs().texts("ask").size(), 1);
    const Shown before = window->shown();
    ASSERT_TRUE(before.picture == big);
    window->dialogs().shown.clear();
    window->dialogs().answer = true;  // a question now would be answered yes
    window->load(writeFile(folder.path(), "broken.png", "\x89PNG\r\n\x1a\n broken"), route);
    window->expectRefused(before, "broken.png", "broken after big");
    expectLaterLoadWorks(route, "broken after big");
}

INSTANTIATE_TEST_SUITE_P(Hostile, AcceptedFile, ::testing::Values(Route::Open, Route::Drop),
                         [](const auto& info) { return routeName(info.param); });

// A pasted picture's transparent part shows white, as a loaded file's does,
// whatever colour it hides: a hidden pure green would be taken for a mark and filled.
TEST(HostilePaste, TransparentPartShowsWhiteNotItsHiddenColour) {
    QTemporaryDir folder;
    Window window(folder.path());
    window.window().show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window.window()));
    QImage offered(40, 30, QImage::Format_ARGB32);
    offered.fill(qRgba(0, 255, 0, 0));
    QImage expected(40, 30, QImage::Format_RGB32);
    expected.fill(Qt::white);
    QByteArray png;
    QBuffer buffer(&png);
    ASSERT_TRUE(buffer.open(QIODevice::WriteOnly) && offered.save(&buffer, "PNG"));
    auto* offer = new QMimeData;
    offer->setData("image/png", png);
    QApplication::clipboard()->setMimeData(offer);
    QTest::keyClick(window.window().windowHandle(), Qt::Key_V, Qt::ControlModifier);
    EXPECT_TRUE(window.shown().picture == expected)
        << "the transparent part shows its hidden colour";
}

// Run where the bits apply (see runDenied); the folder holds readable.png and
// secret.png, which the running user may not read.
void checkUnreadableFile(const QString& folder) {
    const QString secret = folder + "/secret.png";
    ASSERT_TRUE(QFileInfo::exists(secret));
    {
        QFile probe(secret);
        ASSERT_FALSE(probe.open(QIODevice::ReadOnly))
            << "secret.png is readable here, so this check would prove nothing";
    }
    for (const Route route : {Route::Open, Route::Drop}) {
        const std::string label = "unreadable, " + routeName(route);
        Window window(folder);
        const QImage readable(folder + "/readable.png");
        ASSERT_FALSE(readable.isNull());
        window.expectLoads(folder + "/readable.png", route,
                           readable.convertToFormat(QImage::Format_RGB32), label);
        const Shown before = window.shown();
        window.dialogs().shown.clear();
        window.load(secret, route);
        window.expectRefused(before, "Permission denied", label);
        const QImage later(folder + "/later.png");
        window.expectLoads(folder + "/later.png", route,
                           later.convertToFormat(QImage::Format_RGB32), label + ", later load");
    }
}

const bool kUnreadableRegistered = registerDeniedCheck("UnreadableFile", &checkUnreadableFile);

TEST(HostileDenied, UnreadableFileIsReportedAndThePictureStays) {
    SharedFolder folder;
    ASSERT_TRUE(folder.isValid());
    ASSERT_TRUE(texturedPicture(50, 40, 5).save(folder.filePath("readable.png")));
    ASSERT_TRUE(texturedPicture(30, 20, 6).save(folder.filePath("later.png")));
    ASSERT_TRUE(texturedPicture(60, 60, 7).save(folder.filePath("secret.png")));
    setMode(folder.filePath("readable.png"), 0644);
    setMode(folder.filePath("later.png"), 0644);
    setMode(folder.filePath("secret.png"), 0000);
    runDenied("UnreadableFile", folder);
}

}  // namespace
