// A tagged photo's EXIF, XMP and ICC profile through every writer that can keep
// them, read back by an independent reader (exiftool).

#include "metadata.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <functional>

namespace {

const char kProfile[] = "/usr/share/color/icc/compatibleWithAdobeRGB1998.icc";

// Runs a program to its end; its standard output, or what it said on failure.
QByteArray run(const QString& program, const QStringList& arguments, bool* ok = nullptr) {
    QProcess process;
    process.start(program, arguments);
    const bool ended = process.waitForFinished(60000) &&
                       process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    if (ok) *ok = ended;
    return ended ? process.readAllStandardOutput()
                 : program.toUtf8() + " failed: " + process.readAllStandardError();
}

// Every tag of the files, binary ones in base64, as exiftool reads them.
QJsonArray exiftoolTags(const QStringList& paths) {
    const QByteArray json = run(
        "exiftool", QStringList{"-json", "-b", "-G1", "-n", "-a", "-all", "-ICC_Profile"} + paths);
    return QJsonDocument::fromJson(json).array();
}

class MetadataKept : public ::testing::Test {
protected:
    // A camera photo as phones write them: stored on its side (Orientation 6),
    // with a thumbnail, a stale EXIF size, GPS, IPTC, XMP and an Adobe RGB profile.
    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        const QImage photo = QImage(QStringLiteral(VELMORA_TEST_DATA "/chelsea.png"))
                                 .scaled(90, 60)
                                 .convertToFormat(QImage::Format_RGB32);
        ASSERT_TRUE(photo.save(path("photo.jpg"), "JPEG", 95));
        ASSERT_TRUE(photo.scaled(30, 20).save(path("thumb.jpg"), "JPEG"));
        bool ok = false;
        const QByteArray said =
            run("exiftool",
                {"-q", "-overwrite_original", QStringLiteral("-ICC_Profile<=") + kProfile,
                 "-ThumbnailImage<=" + path("thumb.jpg"), "-Orientation#=6",
                 "-DateTimeOriginal=2021:06:14 09:30:12", "-Model=Test Body 7",
                 "-GPSLatitude=48.8566", "-GPSLatitudeRef=N", "-ExifImageWidth=900",
                 "-IPTC:Keywords=kitten", "-XMP-dc:Title=Kitten on a chair", path("photo.jpg")},
                &ok);
        ASSERT_TRUE(ok) << said.toStdString();
        QFile profile(kProfile);
        ASSERT_TRUE(profile.open(QIODevice::ReadOnly));
        m_profile = profile.readAll();
    }
    QString path(const QString& name) const { return m_dir.filePath(name); }

    QTemporaryDir m_dir;
    QByteArray m_profile;
};

// Writes the photo's pixels, and what it says about itself, to the given output.
using Writer = std::function<QString(const QString& photo, const QString& output)>;

QString writeWithModule(const QString& photo, const QString& output) {
    const QImage pixels(photo);
    if (!pixels.save(output)) return "cannot write " + output;
    velmora::convert::PictureMetadata metadata;
    std::string error = velmora::convert::readMetadata(photo.toStdString(), &metadata);
    if (error.empty())
        error = velmora::convert::writeMetadata(output.toStdString(), metadata, pixels.width(),
                                                pixels.height());
    return QString::fromStdString(error);
}

QString writeWithErase(const QString& photo, const QString& output) {
    bool ok = false;
    const QByteArray said = run(VELMORA_ERASE_PATH, {photo, output}, &ok);
    return ok ? QString() : QString::fromLocal8Bit(said);
}

// As the window's save does: the pixels as a bitmap, the metadata in a side file.
QString writeWithConverter(const QString& photo, const QString& output) {
    const QString bitmap = output + ".bmp", side = output + ".exv";
    if (!QImage(photo).save(bitmap, "BMP")) return "cannot write " + bitmap;
    velmora::convert::PictureMetadata metadata;
    std::string error = velmora::convert::readMetadata(photo.toStdString(), &metadata);
    if (error.empty()) error = velmora::convert::writeMetadataFile(side.toStdString(), metadata);
    if (!error.empty()) return QString::fromStdString(error);
    bool ok = false;
    const QString format = output.endsWith(".png") ? "png" : "jpeg";
    const QByteArray said =
        run(VELMORA_CONVERT_PATH, {"-out", format, "-meta", side, "-o", output, bitmap}, &ok);
    return ok ? QString() : QString::fromLocal8Bit(said);
}

}  // namespace

TEST_F(MetadataKept, TagsProfileAndUprightSizeSurviveEveryWriter) {
    const struct {
        const char* name;
        const char* output;
        Writer write;
    } kWriters[] = {
        {"module, JPEG", "module.jpg", writeWithModule},
        {"module, PNG", "module.png", writeWithModule},
        {"velmora-erase, JPEG", "erased.jpg", writeWithErase},
        {"velmora-erase, PNG", "erased.png", writeWithErase},
        {"converter, JPEG", "converted.jpg", writeWithConverter},
        {"converter, PNG", "converted.png", writeWithConverter},
    };
    QStringList outputs;
    for (const auto& writer : kWriters) {
        outputs << path(writer.output);
        const QString error = writer.write(path("photo.jpg"), outputs.last());
        ASSERT_TRUE(error.isEmpty()) << writer.name << ": " << error.toStdString();
    }
    const QJsonArray read = exiftoolTags(outputs);
    ASSERT_EQ(read.size(), outputs.size()) << QJsonDocument(read).toJson().toStdString();
    for (int i = 0; i < outputs.size(); ++i) {
        SCOPED_TRACE(kWriters[i].name);
        const QJsonObject tags = read[i].toObject();
        EXPECT_EQ(tags["ExifIFD:DateTimeOriginal"].toString(), "2021:06:14 09:30:12");
        EXPECT_EQ(tags["IFD0:Model"].toString(), "Test Body 7");
        EXPECT_NEAR(tags["GPS:GPSLatitude"].toDouble(), 48.8566, 1e-4);
        EXPECT_EQ(tags["XMP-dc:Title"].toString(), "Kitten on a chair");
        EXPECT_EQ(tags["IFD0:Orientation"].toInt(1), 1);
        EXPECT_FALSE(tags.contains("IFD1:ThumbnailImage"));
        const QImage written(outputs[i]);
        EXPECT_EQ(tags["ExifIFD:ExifImageWidth"].toInt(), written.width());
        EXPECT_EQ(tags["ExifIFD:ExifImageHeight"].toInt(), written.height());
        EXPECT_TRUE(tags["ICC_Profile:ICC_Profile"].toString() == "base64:" + m_profile.toBase64());
        if (outputs[i].endsWith(".jpg")) {
            EXPECT_EQ(tags["IPTC:Keywords"].toString(), "kitten");
        }
    }
}
