// The converter and velmora-erase's PNG output at camera size, today's build beside this one:
//   build/bin/convert_bench [DIR_OF_OTHER_BUILD]
// builds a 6000 x 4000 picture from the test photos, converts it to PNG, JPEG and GIF
// with this build's velmora-convert (and the other build's, when given), and runs
// velmora-erase on it with a small mark, PNG out. Prints the median of three runs,
// file sizes, the JPEG and GIF quality in dB PSNR and, when ImageMagick's convert is
// on the PATH, its JPEG at quality 95 and its default GIF as a yardstick.

#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>
#include <QPainter>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "program_run.h"

namespace {

constexpr int kRuns = 3;

struct Timing {
    double wall = -1, cpu = -1;  // seconds; cpu is user + system of the program
};

// Runs a program to its end; the medians of runs runs, or -1 on failure.
Timing medianTimes(const QStringList& command, const QString& output, int runs = kRuns) {
    std::vector<double> times, cpus;
    for (int run = 0; run < runs; ++run) {
        QFile::remove(output);
        const ProgramRun r = runProgram(command);
        if (r.wall < 0) return {};
        times.push_back(r.wall);
        cpus.push_back(r.cpu);
    }
    std::sort(times.begin(), times.end());
    std::sort(cpus.begin(), cpus.end());
    return {times[times.size() / 2], cpus[cpus.size() / 2]};
}

QImage readAny(const QString& path) {
    QImageReader reader(path);
    return reader.read().convertToFormat(QImage::Format_RGB32);
}

double psnr(const QImage& a, const QImage& b) {
    if (a.size() != b.size()) return 0;
    double sum = 0;
    for (int y = 0; y < a.height(); ++y) {
        const QRgb* p = reinterpret_cast<const QRgb*>(a.constScanLine(y));
        const QRgb* q = reinterpret_cast<const QRgb*>(b.constScanLine(y));
        for (int x = 0; x < a.width(); ++x) {
            const int dr = qRed(p[x]) - qRed(q[x]), dg = qGreen(p[x]) - qGreen(q[x]),
                      db = qBlue(p[x]) - qBlue(q[x]);
            sum += dr * dr + dg * dg + db * db;
        }
    }
    const double mse = sum / (3.0 * a.width() * a.height());
    return mse == 0 ? INFINITY : 10 * std::log10(255.0 * 255.0 / mse);
}

double megabytes(const QString& path) { return QFileInfo(path).size() / 1e6; }

}  // namespace

int main(int argc, char** argv) {
    QImageReader::setAllocationLimit(0);
    const QString other = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();
    const QString self = QFileInfo(QString::fromLocal8Bit(argv[0])).absolutePath();
    QTemporaryDir dir;

    // Four photos scaled to 3000 x 2000 each, two by two: 24 MP with photo detail throughout.
    QImage picture(6000, 4000, QImage::Format_RGB32);
    {
        QPainter painter(&picture);
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        const char* photos[] = {"coffee.png", "astronaut.png", "chelsea.png", "rocket.jpg"};
        for (int i = 0; i < 4; ++i)
            painter.drawImage(QRect(i % 2 * 3000, i / 2 * 2000, 3000, 2000),
                              QImage(QStringLiteral(VELMORA_TEST_DATA "/") + photos[i]));
    }
    const QString bmp = dir.filePath("picture.bmp");
    picture.save(bmp, "BMP");

    struct Format {
        const char* name;
        QStringList args;
        QStringList magick;  // ImageMagick's yardstick, empty for none
    };
    const Format formats[] = {
        {"png", {"-out", "png"}, {}},
        {"jpeg", {"-out", "jpeg", "-truecolors"}, {"-quality", "95"}},
        {"gif", {"-out", "gif", "-dither", "-colors", "256"}, {}},
    };
    const QString magick = QStandardPaths::findExecutable("convert");
    std::printf("6000 x 4000 BMP (%.0f MB), median of %d runs\n\n", megabytes(bmp), kRuns);
    std::printf(
        "| format | today | new | speed-up | CPU today / new | today's file | new file | size "
        "ratio | today dB | new dB | ImageMagick dB | new / ImageMagick size |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|---|---|---|\n");
    for (const Format& f : formats) {
        const QString mine = dir.filePath(QStringLiteral("new.") + f.name);
        const Timing t = medianTimes(
            QStringList{self + "/velmora-convert"} + f.args + QStringList{"-o", mine, bmp}, mine);
        const QImage back = readAny(mine);
        Timing tOld;
        double sizeOld = 0, dbOld = 0;
        if (!other.isEmpty()) {
            const QString theirs = dir.filePath(QStringLiteral("old.") + f.name);
            tOld = medianTimes(
                QStringList{other + "/velmora-convert"} + f.args + QStringList{"-o", theirs, bmp},
                theirs);
            sizeOld = megabytes(theirs);
            dbOld = psnr(readAny(theirs), picture);
            QFile::remove(theirs);
        }
        double dbMagick = 0, sizeMagick = 0;
        if (!magick.isEmpty() && f.name != QStringLiteral("png")) {
            const QString ref = dir.filePath(QStringLiteral("magick.") + f.name);
            QStringList command{magick, bmp};
            command << f.magick << ref;
            if (medianTimes(command, ref, 1).wall > 0) {  // only its output matters
                dbMagick = psnr(readAny(ref), picture);
                sizeMagick = megabytes(ref);
            }
        }
        const double db = psnr(back, picture);
        std::printf(
            "| %s | %.2f s | %.2f s | %.1fx | %.2f / %.2f s | %.1f MB | %.1f MB | %.3f | %.2f | "
            "%.2f | %.2f | %.3f |\n",
            f.name, tOld.wall, t.wall, tOld.wall > 0 ? tOld.wall / t.wall : 0, tOld.cpu, t.cpu,
            sizeOld, megabytes(mine), sizeOld > 0 ? megabytes(mine) / sizeOld : 0, dbOld, db,
            dbMagick, sizeMagick > 0 ? megabytes(mine) / sizeMagick : 0);
        QFile::remove(mine);
    }

    // velmora-erase: a 120 x 40 mark on the picture, PNG in and out.
    {
        QImage marked = picture;
        QPainter(&marked).fillRect(QRect(3000, 2000, 120, 40), QColor(0, 255, 0));
        const QString in = dir.filePath("marked.png");
        marked.save(in, "PNG", 80);
        const QString mine = dir.filePath("erased-new.png"),
                      theirs = dir.filePath("erased-old.png");
        const Timing t = medianTimes({self + "/velmora-erase", in, mine}, mine);
        Timing tOld;
        bool same = true;
        if (!other.isEmpty()) {
            tOld = medianTimes({other + "/velmora-erase", in, theirs}, theirs);
            same = readAny(mine) == readAny(theirs);
        }
        std::printf(
            "\nvelmora-erase, 120 x 40 mark on the 6000 x 4000 PNG, PNG out: today %.2f s, new "
            "%.2f s, "
            "%.1fx (CPU %.2f / %.2f s); files %.1f MB and %.1f MB; %s pixels\n",
            tOld.wall, t.wall, tOld.wall > 0 ? tOld.wall / t.wall : 0, tOld.cpu, t.cpu,
            megabytes(theirs), megabytes(mine),
            other.isEmpty() ? "(no other build)"
            : same          ? "same"
                            : "DIFFERENT");
    }
    return 0;
}
