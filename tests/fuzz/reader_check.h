#pragma once

// Shared by the checks of the readers of untrusted bytes: a Qt application for
// the font database (metafile text), the trap, and the size cap that keeps a
// short input claiming a huge picture within the fuzzer's memory limit.

#include <QByteArray>
#include <QGuiApplication>
#include <QImage>
#include <QString>
#include <cstdio>

namespace velmora_fuzz {

// Larger pictures are legal; their size test runs, their decoding does not.
constexpr qint64 kMaxFuzzPixels = 4LL * 1000 * 1000;

inline void startQt() {
    static int argc = 1;
    static char name[] = "velmora-fuzz";
    static char* argv[] = {name, nullptr};
    if (QGuiApplication::instance()) return;
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static QGuiApplication application(argc, argv);
}

[[noreturn]] inline void brokenPromise(const char* file, int line, const char* what,
                                       const QString& detail) {
    std::fprintf(stderr, "reader fuzz: broken at %s:%d: %s\n  %s\n", file, line, what,
                 qPrintable(detail));
    std::fflush(stderr);
    __builtin_trap();
}

#define READER_CHECK(cond, detail)                                                     \
    do {                                                                               \
        if (!(cond)) velmora_fuzz::brokenPromise(__FILE__, __LINE__, #cond, (detail)); \
    } while (0)

// What every reader promises: a picture in RGB32 and no complaint, or no picture and a reason.
inline std::string account(const QImage& image, const QString& error) {
    if (image.isNull()) {
        READER_CHECK(!error.isEmpty(), QStringLiteral("refused without a reason"));
        return "refused: " + error.toStdString();
    }
    READER_CHECK(image.format() == QImage::Format_RGB32, QString::number(image.format()));
    return "read " + std::to_string(image.width()) + " x " + std::to_string(image.height());
}

}  // namespace velmora_fuzz
