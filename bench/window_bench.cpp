// A removal in the real window, with Preview ticked and without, side by side:
//   build/bin/window_bench
// Runs on the offscreen platform unless another is chosen. The window is shown,
// so preview repaints and event handling cost what they cost a user.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QCheckBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <cstdio>
#include <map>
#include <memory>

#include "fakes.h"
#include "main_window.h"
#include "picture_box.h"

namespace {

struct Window {
    QTemporaryDir folder;
    velmora::testing::FakeDialogs* dialogs = nullptr;
    std::unique_ptr<velmora::MainWindow> form;

    Window() {
        auto d = std::make_unique<velmora::testing::FakeDialogs>();
        dialogs = d.get();
        form = std::make_unique<velmora::MainWindow>(
            std::move(d), std::make_unique<velmora::testing::FakeSettings>(), folder.path());
        form->show();
        // A photo that fits the view, with a date stamp's strip near its corner.
        QImage photo(QStringLiteral(VELMORA_TEST_DATA "/rocket.jpg"));
        photo = photo.copy(150, 60, 480, 360).convertToFormat(QImage::Format_RGB32);
        const QString path = folder.filePath("photo.png");
        photo.save(path);
        form->dropFiles({path});
        QCoreApplication::processEvents();
    }
    void mark() {
        QTest::mousePress(form->workPicture(), Qt::LeftButton, {}, QPoint(340, 330));
        QTest::mouseRelease(form->workPicture(), Qt::LeftButton, {}, QPoint(459, 341));
        QCoreApplication::processEvents();
    }
};

std::unique_ptr<Window> g_window;  // made on first use, gone before the application

Window& window() {
    if (!g_window) g_window = std::make_unique<Window>();
    return *g_window;
}

std::map<int, double> g_seconds;

void BM_WindowRemoval(benchmark::State& state) {
    Window& w = window();
    auto* start = w.form->findChild<QPushButton*>("removeButton");
    auto* undo = w.form->findChild<QPushButton*>("undoButton");
    auto* preview = w.form->findChild<QCheckBox*>("previewCheck");
    preview->setChecked(state.range(0) != 0);
    int done = 0;
    w.mark();
    for (auto _ : state) {
        w.dialogs->shown.clear();
        QTest::mouseClick(start, Qt::LeftButton);
        state.PauseTiming();
        done += w.dialogs->texts("message").contains(QStringLiteral("Done."));

        QTest::mouseClick(undo, Qt::LeftButton);  // back to the photo, then the same mark
        w.mark();
        state.ResumeTiming();
    }
    if (done != int(state.iterations())) state.SkipWithError("a removal did not finish");
    state.SetLabel(state.range(0) ? "Preview ticked" : "Preview not ticked");
}
BENCHMARK(BM_WindowRemoval)
    ->Arg(0)
    ->Arg(1)
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(1.0);

class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs)
            if (run.run_type == Run::RT_Iteration && !run.error_occurred)
                g_seconds[run.run_name.args == "1" ? 1 : 0] += run.GetAdjustedRealTime();
    }
};

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    if (g_seconds[0] > 0)
        std::printf("\nwith Preview / without: %.2f\n", g_seconds[1] / g_seconds[0]);
    g_window.reset();
    benchmark::Shutdown();
    return 0;
}
