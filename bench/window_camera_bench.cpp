// The window on a camera photo beside the command-line tools doing the same work:
//   build/bin/window_camera_bench [ROUNDS]
// Builds a 6000 x 4000 photo from the test pictures (JPEG, and a BMP with a
// 300 x 200 mark for velmora-erase), then runs ROUNDS (default 3) interleaved
// rounds of: decoding the JPEG alone (djpeg to /dev/null, streamed and as a
// bitmap, when on the PATH, and Qt's reader), opening it in the window up to the "Big Image File"
// question, removing the mark in the window (Preview ticked and not), velmora-erase on the BMP (BMP
// out, whole process), saving as PNG and JPG in the window, and velmora-convert on the same BMP.
// Prints min, median and max, the ratios of medians the window is held to, the delay until "Stop"
// is painted and the window's resident memory. Timings are only worth quoting from a quiet machine:
// check uptime first.
#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QImageReader>
#include <QPainter>
#include <QPushButton>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "fakes.h"
#include "main_window.h"
#include "picture_box.h"
#include "picture_file.h"
#include "program_run.h"

namespace {

constexpr int kWidth = 6000;
constexpr int kHeight = 4000;
const QRect kMark(3000, 2000, 300, 200);

long residentMb() {
    std::ifstream statm("/proc/self/statm");
    long size = 0, resident = 0;
    statm >> size >> resident;
    return resident * sysconf(_SC_PAGESIZE) / (1024 * 1024);
}

long peakResidentMb() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6)) / 1024;
    return 0;
}

// Starts the peak resident memory afresh from what is resident now.
void resetPeak() { std::ofstream("/proc/self/clear_refs") << "5"; }

// Dialog answers that also note when each question or message came.
struct TimedDialogs : velmora::testing::FakeDialogs {
    QElapsedTimer* clock = nullptr;
    double askedAt = -1, messageAt = -1;
    bool ask(QWidget* parent, const QString& title, const QString& text) override {
        askedAt = clock->nsecsElapsed() / 1e9;
        return FakeDialogs::ask(parent, title, text);
    }
    void message(QWidget* parent, const QString& title, const QString& text) override {
        messageAt = clock->nsecsElapsed() / 1e9;
        FakeDialogs::message(parent, title, text);
    }
};

// Notes when the remove button is first painted with "Stop".
struct StopPaintWatch : QObject {
    QElapsedTimer* clock = nullptr;
    double paintedAt = -1;
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint && paintedAt < 0 &&
            static_cast<QPushButton*>(watched)->text() == QLatin1String("Stop"))
            paintedAt = clock->nsecsElapsed() / 1e9;
        return false;
    }
};

struct Files {
    QString jpeg, bmp, markedBmp;
};

Files makePhoto(const QTemporaryDir& dir) {
    QImage picture(kWidth, kHeight, QImage::Format_RGB32);
    {
        QPainter painter(&picture);
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        const char* photos[] = {"coffee.png", "astronaut.png", "chelsea.png", "rocket.jpg"};
        for (int i = 0; i < 4; ++i)
            painter.drawImage(QRect(i % 2 * 3000, i / 2 * 2000, 3000, 2000),
                              QImage(QStringLiteral(VELMORA_TEST_DATA "/") + photos[i]));
    }
    Files files{dir.filePath("photo.jpg"), dir.filePath("photo.bmp"), dir.filePath("marked.bmp")};
    picture.save(files.jpeg, "JPEG", 92);
    // The window removes from the decoded JPEG; the tool gets the same pixels.
    picture = QImage(files.jpeg).convertToFormat(QImage::Format_RGB32);
    picture.save(files.bmp, "BMP");
    {
        QPainter painter(&picture);
        painter.fillRect(kMark, QColor(0, 255, 0));
    }
    picture.save(files.markedBmp, "BMP");
    return files;
}

struct Round {
    std::map<std::string, double> seconds;
    long emptyWindowMb = 0, removalPeakMb = 0, afterRemovalMb = 0, erasePeakMb = 0;
};

// One window from start-up to its saves; times exclude the window's start-up.
void windowRound(const Files& files, const QTemporaryDir& dir, bool preview, Round* round) {
    QElapsedTimer clock;
    auto d = std::make_unique<TimedDialogs>();
    TimedDialogs* dialogs = d.get();
    dialogs->clock = &clock;
    velmora::MainWindow form(std::move(d), std::make_unique<velmora::testing::FakeSettings>(),
                             dir.path());
    form.show();
    QCoreApplication::processEvents();
    const std::string suffix = preview ? " (Preview)" : "";

    if (!preview) round->emptyWindowMb = residentMb();
    clock.start();
    form.dropFiles({files.jpeg});
    round->seconds["window open" + suffix] = dialogs->askedAt;
    QCoreApplication::processEvents();

    auto* start = form.findChild<QPushButton*>("removeButton");
    form.findChild<QCheckBox*>("previewCheck")->setChecked(preview);
    clock.start();
    QTest::mousePress(form.workPicture(), Qt::LeftButton, {}, kMark.topLeft());
    QTest::mouseRelease(form.workPicture(), Qt::LeftButton, {}, kMark.bottomRight());
    QCoreApplication::processEvents();
    round->seconds["window first mark" + suffix] = clock.nsecsElapsed() / 1e9;
    StopPaintWatch watch;
    watch.clock = &clock;
    start->installEventFilter(&watch);
    resetPeak();
    clock.start();
    dialogs->messageAt = -1;
    QTest::mouseClick(start, Qt::LeftButton);
    round->seconds["window removal" + suffix] = dialogs->messageAt;
    round->seconds["Stop painted" + suffix] = watch.paintedAt;
    start->removeEventFilter(&watch);
    if (!preview) {
        round->removalPeakMb = peakResidentMb();
        round->afterRemovalMb = residentMb();
    }
    if (preview) return;

    auto* save = form.findChild<QPushButton*>("saveButton");
    for (const auto& [type, name] :
         {std::pair{4, "window save PNG"}, std::pair{2, "window save JPG"}}) {
        dialogs->saveReply = dir.filePath(type == 4 ? "saved.png" : "saved.jpg");
        dialogs->saveFilterReply = type;
        dialogs->answer = true;  // replace the last round's file
        clock.start();
        QTest::mouseClick(save, Qt::LeftButton);
        round->seconds[name] = clock.nsecsElapsed() / 1e9;
    }
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? -1 : values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    const QString bin = QCoreApplication::applicationDirPath();
    const QString djpeg = QStandardPaths::findExecutable("djpeg");
    QTemporaryDir dir;
    const Files files = makePhoto(dir);
    const double decodedMb = kWidth * kHeight * 4.0 / (1024 * 1024);

    std::vector<Round> all;
    for (int r = 0; r < rounds; ++r) {
        Round round;
        QElapsedTimer clock;
        if (!djpeg.isEmpty()) {
            round.seconds["djpeg decode"] =
                runProgram({djpeg, "-outfile", "/dev/null", files.jpeg}).wall;
            // A bitmap is written bottom up, so djpeg then holds the whole picture too.
            round.seconds["djpeg decode to BMP"] =
                runProgram({djpeg, "-bmp", "-outfile", "/dev/null", files.jpeg}).wall;
        }
        clock.start();
        QImageReader(files.jpeg).read();
        round.seconds["Qt decode"] = clock.nsecsElapsed() / 1e9;
        windowRound(files, dir, false, &round);
        const ProgramRun erase =
            runProgram({bin + "/velmora-erase", "--block-size", "4", "--scan-border", "10",
                        files.markedBmp, dir.filePath("erased.bmp")});
        round.seconds["velmora-erase BMP to BMP"] = erase.wall;
        round.erasePeakMb = erase.peakMb;
        windowRound(files, dir, true, &round);
        for (const auto& [name, args] :
             {std::pair{"velmora-convert PNG", QStringList{"-out", "png"}},
              std::pair{"velmora-convert JPG", QStringList{"-out", "jpeg", "-truecolors"}}}) {
            QFile::remove(dir.filePath("converted"));
            round.seconds[name] =
                runProgram(QStringList{bin + "/velmora-convert"} + args +
                           QStringList{"-o", dir.filePath("converted"), files.bmp})
                    .wall;
        }
        {
            // Through the writer the window's save hands the converter its bitmap with.
            const QImage picture(files.bmp);
            QFile written(dir.filePath("written.bmp"));
            clock.start();
            if (written.open(QIODevice::WriteOnly))
                velmora::writePictureTo(written.handle(), picture, "BMP");
            written.close();
            round.seconds["BMP write"] = clock.nsecsElapsed() / 1e9;
        }
        all.push_back(round);
    }

    std::map<std::string, double> m;
    std::printf(
        "6000 x 4000 photo, %dx%d mark, Block Size 4, Scan Border 10; %d interleaved rounds "
        "(seconds, min / median / max)\n\n",
        kMark.width(), kMark.height(), rounds);
    for (const auto& [name, value] : all.front().seconds) {
        std::vector<double> values;
        for (const Round& round : all) values.push_back(round.seconds.at(name));
        m[name] = median(values);
        std::printf("  %-32s %7.3f %7.3f %7.3f\n", name.c_str(),
                    *std::min_element(values.begin(), values.end()), m[name],
                    *std::max_element(values.begin(), values.end()));
    }
    auto ratio = [&](const char* what, const std::string& a, const std::string& b, double goal) {
        if (m.count(a) && m.count(b) && m[a] > 0 && m[b] > 0)
            std::printf("  %-44s %5.2f  (goal at most %.2f)\n", what, m[a] / m[b], goal);
    };
    // Both windows open the same file the same way: the Preview tick comes later.
    std::vector<double> opens;
    for (const Round& round : all)
        for (const char* name : {"window open", "window open (Preview)"})
            opens.push_back(round.seconds.at(name));
    m["either window open"] = median(opens);
    std::printf("\nratios\n");
    ratio("open / djpeg decode", "either window open", "djpeg decode", 2.5);
    ratio("open / djpeg decode to BMP", "either window open", "djpeg decode to BMP", 2.5);
    ratio("open / Qt decode", "either window open", "Qt decode", 2.5);
    ratio("removal / velmora-erase", "window removal", "velmora-erase BMP to BMP", 1.25);
    ratio("removal (Preview) / velmora-erase", "window removal (Preview)",
          "velmora-erase BMP to BMP", 1.25);
    m["converter PNG + BMP"] = m["velmora-convert PNG"] + m["BMP write"];
    m["converter JPG + BMP"] = m["velmora-convert JPG"] + m["BMP write"];
    ratio("save PNG / (converter + BMP write)", "window save PNG", "converter PNG + BMP", 1.3);
    ratio("save JPG / (converter + BMP write)", "window save JPG", "converter JPG + BMP", 1.3);
    std::vector<double> empties, peaks, afters, erasePeaks;
    for (const Round& round : all) {
        empties.push_back(round.emptyWindowMb);
        peaks.push_back(round.removalPeakMb);
        afters.push_back(round.afterRemovalMb);
        erasePeaks.push_back(round.erasePeakMb);
    }
    std::printf("\n\"Stop\" painted after the click: %.3f s (Preview), %.3f s (goal at most 0.1)\n",
                m["Stop painted (Preview)"], m["Stop painted"]);
    std::printf(
        "memory, decoded picture %.0f MB: window peak during removal %.0f MB (%.1fx, goal "
        "at most 4.5x), after %.0f MB (%.1fx, goal about 2x), of which %.0f MB before any "
        "picture; velmora-erase peak %.0f MB\n\n",
        decodedMb, median(peaks), median(peaks) / decodedMb, median(afters),
        median(afters) / decodedMb, median(empties), median(erasePeaks));
    return 0;
}
