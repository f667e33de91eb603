#pragma once

// Shared helpers of the hostile-input tests: a window driven through its
// controls, files handed to it by the Open button or a real drop, and ways to
// make permission bits and write failures bite even when the tests run as root.

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <QImage>
#include <QString>
#include <QTemporaryDir>
#include <memory>
#include <string>

#include "main_window.h"
#include "pictures.h"
#include "test_window.h"

namespace velmora::hostile {

using velmora::testing::texturedPicture;

enum class Route { Open, Drop };
std::string routeName(Route route);
inline void PrintTo(Route route, std::ostream* os) { *os << routeName(route); }

// The mean absolute difference of a's and b's colour channels; -1 for other sizes.
double meanDifference(const QImage& a, const QImage& b);

QByteArray fileBytes(const QString& path);
// The bytes of a GIF made from a BMP file by the program's converter (Qt writes no GIF).
QByteArray gifOf(const QString& bmpPath, const QString& workFolder);
void writeBytes(const QString& path, const QByteArray& bytes);

// A 384 x 288 pixel metafile written record by record: on white, a red
// (220, 30, 30) rectangle over pixels 48..192 x 48..144, a blue (30, 30, 220)
// ellipse in 216..336 x 48..192, a yellow (240, 200, 20) 240-point disc of
// radius 40 around (120, 216) and black 32-pixel text from (216, 216).
// Placeable: 1440 units per inch; WindowExtent: one unit per pixel; None: no size.
enum class WmfSize { Placeable, WindowExtent, None };
QByteArray wmfDrawing(WmfSize size);
// Names in a folder, hidden ones included.
QStringList entries(const QString& folder);

// What the window shows and keeps: the committed picture, the image drawn over
// it and the box's size.
struct Shown {
    QImage picture;
    QImage image;
    QSize size;
};

// The real window with recorded dialogs, handed files as a user would.
class Window : public velmora::testing::TestWindow {
public:
    explicit Window(const QString& programFolder) : TestWindow(programFolder) {}

    // Through the Open button, or dropped on the picture as a file manager would.
    void load(const QString& path, Route route);
    Shown shown() const;
    // Texts of every message and error report shown so far.
    QStringList complaints() const;

    // Loads path and expects exactly `expected` on screen, with nothing said.
    void expectLoads(const QString& path, Route route, const QImage& expected,
                     const std::string& label);
    // Expects a complaint containing `reason` and the picture exactly as `before`.
    void expectRefused(const Shown& before, const QString& reason, const std::string& label);
};

// A temporary folder every user may enter and read, for checks run as another user.
class SharedFolder {
public:
    SharedFolder();
    bool isValid() const { return m_dir.isValid(); }
    QString path() const { return m_dir.path(); }
    QString filePath(const QString& name) const { return m_dir.filePath(name); }
    // A sub-folder with the given permission bits (octal, as for chmod).
    QString makeFolder(const QString& name, int mode) const;

private:
    QTemporaryDir m_dir;
};

void setMode(const QString& path, int mode);

// A check that needs permission bits to apply. It runs in this process when the
// tests run as an ordinary user; as root (who reads and writes past any bits) it
// runs in a copy of this program started as user nobody through setpriv.
using DeniedCheck = void (*)(const QString& folder);
bool registerDeniedCheck(const char* name, DeniedCheck check);
void runDenied(const char* name, const SharedFolder& folder);

// Makes every write of this process (and its children) past `bytes` fail, as on
// a full disk; root is held to it too. Undone when destroyed.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes);
    ~FileSizeLimit();

private:
    rlimit m_old{};
    void (*m_oldHandler)(int) = nullptr;
};

}  // namespace velmora::hostile
