// Every way out writes the same file, and no failure loses one: velmora-erase and
// velmora-convert run as processes on a full disk, killed mid-write, and on FAT.
#include <gtest/gtest.h>
#include <unistd.h>
#include <utime.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

namespace {

struct ToolRun {
    int exitCode;
    QString err;
};

// Runs a tool to its end; limitBlocks > 0 caps every file it writes at that many
// 512-byte blocks, as a full disk would (SIGXFSZ ignored, so the write fails).
ToolRun run(const char* tool, const QStringList& args, int limitBlocks = 0) {
    QProcess p;
    const QString limit = limitBlocks > 0 ? QString::number(limitBlocks) : "unlimited";
    p.start(
        "/bin/sh",
        QStringList{"-c", "trap '' XFSZ; ulimit -f " + limit + "; exec \"$@\"", "sh", tool} + args);
    p.waitForFinished(120000);
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
            QString::fromLocal8Bit(p.readAllStandardError())};
}

QStringList convertArgs(const QString& extension, const QString& out, const QString& in) {
    const QString format = extension == "jpg" ? "jpeg" : extension;
    return QStringList{"-out", format} +
           (extension == "gif" ? QStringList{"-dither", "-colors", "256"} : QStringList{}) +
           QStringList{"-o", out, in};
}

QByteArray bytes(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

void put(const QString& path, const QByteArray& content) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(content);
}

// A photo-like picture, no pure green in it; grey makes R = G = B.
QImage picture(int w, int h, bool grey) {
    QImage image(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const int v = (x * 37 + y * 11 + (x * y) % 97) % 256;
            image.setPixel(x, y, grey ? qRgb(v, v, v) : qRgb(v, (x * 53 + y * 29) % 200, y % 256));
        }
    return image;
}

QStringList temporaries(const QString& folder) {
    return QDir(folder).entryList({".velmora-*"}, QDir::Files | QDir::Hidden);
}

class FilesOut : public ::testing::Test {
protected:
    QString path(const QString& name) const { return dir.filePath(name); }
    QTemporaryDir dir;
};

TEST_F(FilesOut, EraseWritesTheBytesTheConverterWrites) {
    for (const bool grey : {false, true}) {
        ASSERT_TRUE(
            picture(90, 70, grey).convertToFormat(QImage::Format_RGB888).save(path("in.bmp")));
        for (const QString extension : {"jpg", "gif", "png"}) {
            const std::string label = (grey ? "grey " : "colour ") + extension.toStdString();
            const QString erased = path("e." + extension), converted = path("c." + extension);
            QFile::remove(converted);
            ASSERT_EQ(run(VELMORA_ERASE_PATH, {path("in.bmp"), erased}).exitCode, 0) << label;
            ASSERT_EQ(run(VELMORA_CONVERT_PATH, convertArgs(extension, converted, path("in.bmp")))
                          .exitCode,
                      0)
                << label;
            EXPECT_EQ(bytes(erased), bytes(converted)) << label;
            if (extension == "jpg") {
                const QByteArray jpeg = bytes(erased);
                EXPECT_EQ(int(jpeg.at(jpeg.indexOf("\xff\xc0") + 9)), grey ? 1 : 3) << label;
            }
        }
    }
}

// A full disk at the final write: the tool says why, the old file (the input
// itself when it is also the output) stays as it was, and no temporary is left.
TEST_F(FilesOut, FullDiskKeepsTheOldFile) {
    ASSERT_TRUE(picture(200, 150, false).save(path("in.png")));
    ASSERT_TRUE(picture(200, 150, false).save(path("in.bmp")));
    const QByteArray input = bytes(path("in.png"));
    put(path("old.gif"), "an older picture");
    const struct {
        const char* tool;
        QStringList args;
        QString target;
    } cases[] = {
        {VELMORA_ERASE_PATH, {path("in.png"), path("old.gif")}, path("old.gif")},
        {VELMORA_ERASE_PATH, {path("in.png"), path("in.png")}, path("in.png")},
        {VELMORA_ERASE_PATH, {path("in.png"), path("new.jpg")}, path("new.jpg")},
        {VELMORA_CONVERT_PATH, convertArgs("png", path("new.png"), path("in.bmp")),
         path("new.png")},
    };
    for (const auto& c : cases) {
        const QByteArray before = QFile::exists(c.target) ? bytes(c.target) : QByteArray();
        const QStringList entries = QDir(dir.path()).entryList(QDir::Files | QDir::Hidden);
        const ToolRun r = run(c.tool, c.args, 1);
        const std::string label = c.args.join(' ').toStdString();
        EXPECT_EQ(r.exitCode, 1) << label;
        EXPECT_TRUE(r.err.endsWith(": error: cannot write " + c.target + ": File too large\n"))
            << r.err.toStdString();
        if (!before.isEmpty()) {
            EXPECT_EQ(bytes(c.target), before) << label;
        }
        EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), entries) << label;
    }
    EXPECT_EQ(bytes(path("in.png")), input);
}

// Killed at any moment, the target is the old file or the whole new one; what a
// killed writer left is removed by a later write once it is clearly abandoned.
TEST_F(FilesOut, KilledWriterLeavesTheOldFileOrTheNewOne) {
    ASSERT_TRUE(picture(2400, 1600, false).save(path("in.bmp")));
    QElapsedTimer clock;
    clock.start();
    ASSERT_EQ(run(VELMORA_ERASE_PATH, {path("in.bmp"), path("out.png")}).exitCode, 0);
    const qint64 whole = clock.elapsed();
    const QByteArray complete = bytes(path("out.png"));
    for (int moment = 1; moment <= 6; ++moment) {
        put(path("out.png"), "old");
        QProcess p;
        p.start(VELMORA_ERASE_PATH, {path("in.bmp"), path("out.png")});
        ASSERT_TRUE(p.waitForStarted());
        QThread::msleep(whole * moment / 6);
        p.kill();
        p.waitForFinished();
        const QByteArray now = bytes(path("out.png"));
        EXPECT_TRUE(now == "old" || now == complete)
            << "killed after " << whole * moment / 6 << " ms: " << now.size() << " bytes";
    }
    for (const QString& name : temporaries(dir.path())) {
        const utimbuf old{1, 1};
        ASSERT_EQ(::utime(QFile::encodeName(path(name)).constData(), &old), 0);
    }
    ASSERT_EQ(run(VELMORA_ERASE_PATH, {path("in.bmp"), path("out.png")}).exitCode, 0);
    EXPECT_EQ(bytes(path("out.png")), complete);
    EXPECT_TRUE(temporaries(dir.path()).isEmpty())
        << temporaries(dir.path()).join(' ').toStdString();
}

// A FAT drive (through FUSE, as on a desktop) takes no hard link and has no
// renameat2 flags; a tiny tmpfs runs out of room for real. Both need root.
TEST_F(FilesOut, FatDriveAndFullTmpfs) {
    if (::geteuid() != 0 || !QFile::exists("/dev/fuse") ||
        QProcess::execute("sh", {"-c", "command -v mkfs.vfat && command -v fusefat >/dev/null"}) !=
            0)
        GTEST_SKIP() << "needs root, /dev/fuse, mkfs.vfat and fusefat (scripts/setup.sh)";
    const QString fat = path("fat"), tmpfs = path("tmpfs");
    QDir().mkpath(fat);
    QDir().mkpath(tmpfs);
    ASSERT_EQ(QProcess::execute("sh", {"-c", "truncate -s 8M \"$0\" && mkfs.vfat \"$0\" >/dev/null",
                                       path("fat.img")}),
              0);
    struct Unmount {
        QString folder;
        ~Unmount() { QProcess::execute("umount", {folder}); }
    };
    if (QProcess::execute(
            "sh", {"-c", "fusefat -o rw+ \"$0\" \"$1\" >/dev/null", path("fat.img"), fat}) != 0)
        GTEST_SKIP() << "this system does not let FUSE file systems be mounted here";
    const Unmount unmountFat{fat};
    if (QProcess::execute("mount", {"-t", "tmpfs", "-o", "size=8k", "tmpfs", tmpfs}) != 0)
        GTEST_SKIP() << "this system does not let tmpfs be mounted here";
    const Unmount unmountTmpfs{tmpfs};
    ASSERT_TRUE(picture(300, 200, false).save(path("in.bmp")));
    const QString onFat = fat + "/cat.png";
    const ToolRun first = run(VELMORA_CONVERT_PATH, convertArgs("png", onFat, path("in.bmp")));
    EXPECT_EQ(first.exitCode, 0) << first.err.toStdString();
    const QByteArray written = bytes(onFat);
    EXPECT_EQ(QImage(onFat).convertToFormat(QImage::Format_RGB32), picture(300, 200, false));
    const ToolRun again = run(VELMORA_CONVERT_PATH, convertArgs("png", onFat, path("in.bmp")));
    EXPECT_EQ(again.err, "velmora-convert: error: cannot write " + onFat + ": File exists\n");
    EXPECT_EQ(bytes(onFat), written);
    const ToolRun replaced = run(VELMORA_ERASE_PATH, {path("in.bmp"), onFat});
    EXPECT_EQ(replaced.exitCode, 0) << replaced.err.toStdString();
    EXPECT_TRUE(temporaries(fat).isEmpty());

    put(tmpfs + "/old.png", "old");
    const ToolRun full = run(VELMORA_ERASE_PATH, {path("in.bmp"), tmpfs + "/old.png"});
    EXPECT_EQ(full.err, "velmora-erase: error: cannot write " + tmpfs +
                            "/old.png: No space left on device\n");
    EXPECT_EQ(bytes(tmpfs + "/old.png"), "old");
    EXPECT_TRUE(temporaries(tmpfs).isEmpty());
}

}  // namespace
