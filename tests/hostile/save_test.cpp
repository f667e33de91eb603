// Saving where the system says no: a folder the user may not write, a disk that
// fills up, a TEMP that is unset or wrong. The user is told, no file claims a
// success that did not happen, an older file survives and no temporary is left.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#include <utime.h>

#include <QDir>
#include <QFile>
#include <QImageReader>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <optional>

#include "converter.h"
#include "hostile.h"
#include "save_command.h"

using namespace velmora::hostile;

namespace {

struct SaveType {
    const char* name;
    int filter;
    const char* extension;
    const char* format;  // as QImageReader names it
};

void PrintTo(const SaveType& t, std::ostream* os) { *os << t.name; }

const SaveType kTypes[] = {
    {"Bmp", velmora::kSaveBmp, "bmp", "bmp"},
    {"Jpg", velmora::kSaveJpg, "jpg", "jpeg"},
    {"Gif", velmora::kSaveGif, "gif", "gif"},
    {"Png", velmora::kSavePng, "png", "png"},
};

const QByteArray kOldContents = "an older picture the user wants to keep";

// Sets an environment variable, or removes it for nullopt, until destroyed.
class EnvironmentValue {
public:
    EnvironmentValue(const char* name, std::optional<QString> value)
        : m_name(name), m_had(qEnvironmentVariableIsSet(name)), m_old(qgetenv(name)) {
        if (value)
            qputenv(name, QFile::encodeName(*value));
        else
            qunsetenv(name);
    }
    ~EnvironmentValue() {
        if (m_had)
            qputenv(m_name, m_old);
        else
            qunsetenv(m_name);
    }

private:
    const char* m_name;
    bool m_had;
    QByteArray m_old;
};

// A window with a picture, saving through its button; TEMP and the system's
// temporary folder (TMPDIR) point into folders of its own so leftovers show.
class Saver {
public:
    Saver(const QString& programFolder, const QString& picturePath)
        : m_window(programFolder),
          m_picture(QImage(picturePath).convertToFormat(QImage::Format_RGB32)) {
        m_window.expectLoads(picturePath, Route::Open, m_picture, "picture to save");
    }

    Window& window() { return m_window; }
    const QImage& picture() const { return m_picture; }

    void save(const QString& path, const SaveType& type, bool replace) {
        m_window.dialogs().shown.clear();
        m_window.dialogs().saveReply = path;
        m_window.dialogs().saveFilterReply = type.filter;
        m_window.dialogs().answer = replace;
        QTest::mouseClick(m_window.control<QPushButton>("saveButton"), Qt::LeftButton);
    }

    QStringList errors() const { return m_window.complaints(); }

    // The failed save said so, naming the file the user chose.
    void expectFailureReported(const QString& destination, const std::string& label) {
        const QStringList said = m_window.dialogs().texts("error");
        ASSERT_FALSE(said.isEmpty()) << label << ": the failed save said nothing";
        const bool plain = std::any_of(said.begin(), said.end(), [&](const QString& t) {
            return t.contains(destination) &&
                   (t.contains("Cannot write") || t.contains("not saved"));
        });
        EXPECT_TRUE(plain) << label << ": " << said.join(" | ").toStdString();
        EXPECT_EQ(m_window.window().pointer(), velmora::Pointer::Default) << label;
    }

    // The save worked, silently, and the file holds the picture.
    void expectSaved(const QString& path, const SaveType& type, const std::string& label) {
        EXPECT_TRUE(m_window.dialogs().texts("error").isEmpty())
            << label << ": " << m_window.dialogs().texts("error").join(" | ").toStdString();
        QImageReader reader(path);
        EXPECT_EQ(reader.format(), QByteArray(type.format)) << label;
        const QImage written = reader.read().convertToFormat(QImage::Format_RGB32);
        EXPECT_EQ(written.size(), m_picture.size()) << label;
        if (type.filter == velmora::kSaveBmp || type.filter == velmora::kSavePng) {
            EXPECT_TRUE(written == m_picture) << label << ": the saved pixels differ";
        }
        EXPECT_EQ(m_window.window().pointer(), velmora::Pointer::Default) << label;
    }

private:
    Window m_window;
    QImage m_picture;
};

void expectEmpty(const QString& folder, const std::string& what) {
    EXPECT_TRUE(entries(folder).isEmpty())
        << what << " holds " << entries(folder).join(", ").toStdString();
}

// The destination after a failed save: the old file as it was, or nothing.
void expectUntouched(const QString& path, bool hadOld, const std::string& label) {
    if (hadOld) {
        ASSERT_TRUE(QFile::exists(path)) << label << ": the old file is gone";
        EXPECT_EQ(fileBytes(path), kOldContents) << label << ": the old file changed";
    } else {
        EXPECT_FALSE(QFile::exists(path)) << label << ": a file claims a save that failed";
    }
}

class HostileSave : public ::testing::Test {
protected:
    void SetUp() override {
        for (const QTemporaryDir* dir : {&folder, &temp, &systemTemp, &scratch})
            ASSERT_TRUE(dir->isValid());
        tempValue.emplace("TEMP", temp.path());
        tmpdirValue.emplace("TMPDIR", systemTemp.path());
        ASSERT_EQ(QDir(QDir::tempPath()), QDir(systemTemp.path()));
    }
    void TearDown() override {
        tmpdirValue.reset();
        tempValue.reset();
    }

    void expectNoTemporaries(const std::string& label) {
        expectEmpty(temp.path(), label + ": TEMP");
        expectEmpty(systemTemp.path(), label + ": the system's temporary folder");
    }

    // Made before TMPDIR changes, so none of them lies in the folder watched for leftovers.
    QTemporaryDir folder, temp, systemTemp, scratch;
    std::optional<EnvironmentValue> tempValue, tmpdirValue;
};

class FullDisk : public HostileSave, public ::testing::WithParamInterface<SaveType> {};

TEST_P(FullDisk, FailedWriteIsReportedAndLeavesNothingHalfDone) {
    const SaveType& type = GetParam();
    const qint64 converterSize =
        QFile(QStringLiteral(":/CUSTOM/%1")
                  .arg(velmora::converterResourceId(velmora::addressWidth())))
            .size();
    // A picture whose bitmap is well above the converter, whatever the build makes
    // of it (a sanitized converter is several times larger), grown in small steps so
    // it stays below the size the window offers to reduce (about 1500 pixels a side).
    int side = 512;
    while (qint64(side) * side * 3 <= converterSize + 65536) side += 128;
    const QString picturePath = folder.filePath("brick.png");
    ASSERT_TRUE(QImage(VELMORA_TEST_DATA "/brick.png")
                    .scaled(side, side)
                    .convertToFormat(QImage::Format_RGB32)
                    .save(picturePath));
    Saver saver(folder.path(), picturePath);

    const qint64 bitmapSize = qint64(saver.picture().width()) * saver.picture().height() * 3;
    ASSERT_GT(converterSize, 0);
    ASSERT_GT(bitmapSize, converterSize + 8192);
    // Room for nothing; room for the converter but not the picture.
    for (const qint64 room : {qint64(512), converterSize + 4096}) {
        for (const bool hadOld : {false, true}) {
            const std::string label = std::string(type.name) + ", " + std::to_string(room) +
                                      " bytes free" + (hadOld ? ", over an old file" : "");
            const QString target = folder.filePath(QStringLiteral("out.%1").arg(type.extension));
            QFile::remove(target);
            if (hadOld) writeBytes(target, kOldContents);
            const QStringList before = entries(folder.path());
            {
                FileSizeLimit limit{rlim_t(room)};
                saver.save(target, type, true);
            }
            saver.expectFailureReported(target, label);
            // The converter copy does not fit either: reported where it is written.
            EXPECT_TRUE(room > 512 ||
                        saver.window().dialogs().texts("error").join("").contains(
                            QStringLiteral("at line %1\r").arg(sizeof(void*) == 8 ? 118 : 122)))
                << label;
            expectUntouched(target, hadOld, label);
            EXPECT_EQ(entries(folder.path()), before) << label;
            expectNoTemporaries(label);
        }
    }
    // With room again the same save goes through.
    const QString target = folder.filePath(QStringLiteral("out.%1").arg(type.extension));
    saver.save(target, type, true);
    saver.expectSaved(target, type, std::string(type.name) + " with room again");
    expectNoTemporaries(type.name);
}

// The disk fills only when the converted picture is copied to its place. The
// converter stand-in lifts the limit for itself and writes more than is left.
TEST_F(HostileSave, FullDiskWhileTheConvertedPictureIsCopied) {
    const QString picturePath = folder.filePath("brick.png");
    ASSERT_TRUE(QFile::copy(VELMORA_TEST_DATA "/brick.png", picturePath));
    Saver saver(folder.path(), picturePath);
    auto& dialogs = saver.window().dialogs();
    const qint64 bitmapSize = qint64(saver.picture().width()) * saver.picture().height() * 3 + 54;
    velmora::SaveContext context;
    context.window = &saver.window().window();
    context.dialogs = &dialogs;
    context.picture = [&] { return saver.picture(); };
    context.setPointer = [](int) {};
    context.reportError = [&](const QString& text) { dialogs.errorReport(nullptr, text); };
    context.extractConverter = [bitmapSize](const QString& path) {
        writeBytes(path, QStringLiteral(
                             "#!/bin/sh\n"
                             "ulimit -f unlimited\n"
                             "while [ $# -gt 0 ]; do [ \"$1\" = -o ] && out=\"$2\"; shift; done\n"
                             "head -c %1 /dev/zero > \"$out\"\n")
                             .arg(2 * bitmapSize)
                             .toLatin1());
        setMode(path, 0700);
    };
    for (const bool hadOld : {false, true}) {
        const std::string label = hadOld ? "over an old file" : "new file";
        const QString target = folder.filePath("converted.png");
        QFile::remove(target);
        if (hadOld) writeBytes(target, kOldContents);
        const QStringList before = entries(folder.path());
        dialogs.shown.clear();
        dialogs.saveReply = target;
        dialogs.saveFilterReply = velmora::kSavePng;
        dialogs.answer = true;
        {
            FileSizeLimit limit{rlim_t(bitmapSize + 65536)};
            velmora::saveResults(context);
        }
        saver.expectFailureReported(target, label);
        // The converter itself succeeded: the copy to the destination is what failed.
        EXPECT_TRUE(dialogs.texts("error").join("").contains("Cannot write " + target)) << label;
        expectUntouched(target, hadOld, label);
        EXPECT_EQ(entries(folder.path()), before) << label;
        expectNoTemporaries(label);
    }
}

INSTANTIATE_TEST_SUITE_P(Hostile, FullDisk, ::testing::ValuesIn(kTypes),
                         [](const auto& info) { return std::string(info.param.name); });

struct TempCase {
    const char* name;
    // The TEMP value to use, made in the given scratch folder; nullopt unsets it.
    std::optional<QString> (*make)(const QString& scratch);
};
void PrintTo(const TempCase& c, std::ostream* os) { *os << c.name; }

const TempCase kTempCases[] = {
    {"Unset", [](const QString&) -> std::optional<QString> { return std::nullopt; }},
    {"Empty", [](const QString&) -> std::optional<QString> { return QString(); }},
    {"MissingFolder",
     [](const QString& s) -> std::optional<QString> { return s + "/no such folder"; }},
    {"AFile",
     [](const QString& s) -> std::optional<QString> {
         writeBytes(s + "/temp-file", "not a folder");
         return s + "/temp-file";
     }},
    {"SpacesAndNonAscii",
     [](const QString& s) -> std::optional<QString> {
         const QString path = s + QString::fromUtf8("/Temp Ordner – ü 临时");
         QDir().mkpath(path);
         return path;
     }},
    {"AQuote",
     [](const QString& s) -> std::optional<QString> {
         const QString path = s + "/say \"cheese\"";
         QDir().mkpath(path);
         return path;
     }},
};

class OddTemp : public HostileSave,
                public ::testing::WithParamInterface<std::tuple<TempCase, SaveType>> {};

TEST_P(OddTemp, SaveStillWorksAndCleansUp) {
    const auto& [tempCase, type] = GetParam();
    const std::string label = std::string(tempCase.name) + ", " + type.name;
    const QString picturePath = folder.filePath("picture.png");
    ASSERT_TRUE(texturedPicture(40, 30, 10).save(picturePath));
    Saver saver(folder.path(), picturePath);

    const std::optional<QString> value = tempCase.make(scratch.path());
    const QStringList scratchBefore = entries(scratch.path());
    EnvironmentValue tempValue("TEMP", value);
    const QString target = folder.filePath(QStringLiteral("saved.%1").arg(type.extension));
    saver.save(target, type, true);
    saver.expectSaved(target, type, label);
    expectNoTemporaries(label);
    EXPECT_EQ(entries(scratch.path()), scratchBefore) << label;
    if (value && QFileInfo(*value).isDir()) expectEmpty(*value, label + ": TEMP");
}

INSTANTIATE_TEST_SUITE_P(Hostile, OddTemp,
                         ::testing::Combine(::testing::ValuesIn(kTempCases),
                                            ::testing::ValuesIn(kTypes)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) +
                                    std::get<1>(info.param).name;
                         });

// Run where the bits apply (see runDenied). The folder holds picture.png, a
// folder "locked" the user may not write holding old.* files, and "temp",
// "systemp" and "open", which everyone may write.
void checkReadOnlyFolder(const QString& folder) {
    const QString locked = folder + "/locked";
    ASSERT_TRUE(QFileInfo(locked).isDir());
    {
        QFile probe(locked + "/probe");
        ASSERT_FALSE(probe.open(QIODevice::WriteOnly))
            << "the locked folder is writable here, so this check would prove nothing";
    }
    EnvironmentValue tempValue("TEMP", folder + "/temp");
    EnvironmentValue tmpdirValue("TMPDIR", folder + "/systemp");
    Saver saver(folder, folder + "/picture.png");
    const QStringList lockedBefore = entries(locked);
    for (const SaveType& type : kTypes) {
        for (const bool hadOld : {false, true}) {
            const std::string label = std::string(type.name) + (hadOld ? ", over old" : ", new");
            const QString target =
                QStringLiteral("%1/%2.%3").arg(locked, hadOld ? "old" : "new", type.extension);
            ASSERT_EQ(QFile::exists(target), hadOld) << label;
            saver.save(target, type, true);
            saver.expectFailureReported(target, label);
            expectUntouched(target, hadOld, label);
            EXPECT_EQ(entries(locked), lockedBefore) << label;
            expectEmpty(folder + "/temp", label + ": TEMP");
            expectEmpty(folder + "/systemp", label + ": the system's temporary folder");
        }
        const QString elsewhere = QStringLiteral("%1/open/saved.%2").arg(folder, type.extension);
        saver.save(elsewhere, type, true);
        saver.expectSaved(elsewhere, type, std::string(type.name) + " to a writable folder");
    }
}

const bool kReadOnlyRegistered = registerDeniedCheck("ReadOnlyFolder", &checkReadOnlyFolder);

TEST(HostileDenied, ReadOnlyFolderIsReportedAndKeepsItsFiles) {
    SharedFolder folder;
    ASSERT_TRUE(folder.isValid());
    ASSERT_TRUE(texturedPicture(40, 30, 11).save(folder.filePath("picture.png")));
    setMode(folder.filePath("picture.png"), 0644);
    for (const char* name : {"temp", "systemp", "open"}) folder.makeFolder(name, 0777);
    const QString locked = folder.makeFolder("locked", 0755);
    for (const SaveType& type : kTypes) {
        const QString old = QStringLiteral("%1/old.%2").arg(locked, type.extension);
        writeBytes(old, kOldContents);
        setMode(old, 0644);
    }
    setMode(locked, 0555);
    // Writable again at the end, so that the folder can be removed.
    const std::unique_ptr<const QString, void (*)(const QString*)> unlock(
        &locked, [](const QString* path) { setMode(*path, 0755); });
    runDenied("ReadOnlyFolder", folder);
    // Whoever ran the check, the files are looked at again here.
    for (const SaveType& type : kTypes) {
        expectUntouched(QStringLiteral("%1/old.%2").arg(locked, type.extension), true, type.name);
        expectUntouched(QStringLiteral("%1/new.%2").arg(locked, type.extension), false, type.name);
    }
    expectEmpty(folder.filePath("temp"), "TEMP");
}

}  // namespace

namespace {

// A save's private folder: abandoned ones (lock free, or an unlocked old one
// from before locks) are removed by the next save; one whose lock is held,
// as by a save running in another window, stays.
TEST_F(HostileSave, NextSaveRemovesOnlyAbandonedSaveFolders) {
    const QString picturePath = folder.filePath("picture.png");
    ASSERT_TRUE(texturedPicture(40, 30, 12).save(picturePath));
    Saver saver(folder.path(), picturePath);
    for (const char* name : {"velmora-save-gone01", "velmora-save-held01", "velmora-save-old001"}) {
        ASSERT_TRUE(QDir(temp.path()).mkpath(QStringLiteral("%1/leftover").arg(name)));
        if (QByteArray(name).contains("old")) continue;
        writeBytes(temp.filePath(QStringLiteral("%1/owner.lock").arg(name)), {});
    }
    const utimbuf longAgo{1, 1};
    ASSERT_EQ(
        ::utime(QFile::encodeName(temp.filePath("velmora-save-old001")).constData(), &longAgo), 0);
    const int held =
        ::open(QFile::encodeName(temp.filePath("velmora-save-held01/owner.lock")).constData(),
               O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);
    saver.save(folder.filePath("saved.png"), kTypes[3], true);
    saver.expectSaved(folder.filePath("saved.png"), kTypes[3], "with leftovers in TEMP");
    EXPECT_EQ(entries(temp.path()), QStringList{"velmora-save-held01"});
    ::close(held);
}

// TEMP on a file system that forbids running programs, as hardened systems
// mount /tmp: the window's converted saves still work.
TEST_F(HostileSave, NoexecTempStillConverts) {
    if (::geteuid() != 0 || QProcess::execute("mount", {"-t", "tmpfs", "-o", "noexec,size=16m",
                                                        "tmpfs", temp.path()}) != 0)
        GTEST_SKIP() << "mounting a noexec TEMP needs root";
    const std::unique_ptr<QTemporaryDir, void (*)(QTemporaryDir*)> unmount(
        &temp, [](QTemporaryDir* t) { QProcess::execute("umount", {t->path()}); });
    const QString picturePath = folder.filePath("picture.png");
    ASSERT_TRUE(texturedPicture(40, 30, 13).save(picturePath));
    Saver saver(folder.path(), picturePath);
    for (const SaveType& type : kTypes) {
        const QString target = folder.filePath(QStringLiteral("noexec.%1").arg(type.extension));
        saver.save(target, type, true);
        saver.expectSaved(target, type, std::string("noexec TEMP, ") + type.name);
        expectNoTemporaries(type.name);
    }
}

}  // namespace
