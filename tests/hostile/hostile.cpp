#include "hostile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QDropEvent>
#include <QFile>
#include <QMimeData>
#include <QProcess>
#include <QPushButton>
#include <QTest>
#include <QUrl>
#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <map>

#include "picture_box.h"
#include "test_main.h"

namespace velmora::hostile {

std::string routeName(Route route) { return route == Route::Open ? "Open" : "Drop"; }

double meanDifference(const QImage& a, const QImage& b) {
    if (a.size() != b.size()) return -1;
    double sum = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x)
            for (const int shift : {0, 8, 16})
                sum += std::abs(int(a.pixel(x, y) >> shift & 0xff) -
                                int(b.pixel(x, y) >> shift & 0xff));
    return sum / (3.0 * a.width() * a.height());
}

QByteArray wmfDrawing(WmfSize size) {
    const auto put16 = [](QByteArray& b, int v) {
        b.append(char(v & 0xff)).append(char((v >> 8) & 0xff));
    };
    const auto put32 = [&](QByteArray& b, quint32 v) {
        put16(b, int(v & 0xffff));
        put16(b, int(v >> 16));
    };
    QByteArray records;
    int largest = 3;
    const auto record = [&](int function, const QVector<int>& words) {
        put32(records, quint32(3 + words.size()));
        put16(records, function);
        for (const int w : words) put16(records, w);
        largest = std::max(largest, 3 + int(words.size()));
    };
    const int u = size == WmfSize::Placeable ? 15 : 1;  // file units per pixel
    const auto box = [&](int left, int top, int right, int bottom) {
        return QVector<int>{bottom * u, right * u, top * u, left * u};
    };
    if (size != WmfSize::None) {
        record(0x020B, {0, 0});              // SetWindowOrg
        record(0x020C, {288 * u, 384 * u});  // SetWindowExt
    }
    record(0x02FA, {0, 0, 0, 0, 0});  // CreatePenIndirect: solid, thin, black
    record(0x012D, {0});              // SelectObject
    const auto brush = [&](int r, int g, int b) {
        record(0x02FC, {0, r | (g << 8), b, 0});  // CreateBrushIndirect: solid
        record(0x012D, {1});
    };
    brush(220, 30, 30);
    record(0x041B, box(48, 48, 192, 144));  // Rectangle
    record(0x01F0, {1});                    // DeleteObject: the slot is taken again
    brush(30, 30, 220);
    record(0x0418, box(216, 48, 336, 192));  // Ellipse
    record(0x01F0, {1});
    brush(240, 200, 20);
    QVector<int> disc{240};
    for (int k = 0; k < 240; ++k)
        disc << int(std::lround((120 + 40 * std::cos(k * M_PI / 120)) * u))
             << int(std::lround((216 + 40 * std::sin(k * M_PI / 120)) * u));
    record(0x0324, disc);  // Polygon
    // CreateFontIndirect: bold, 32 pixels high, face "Arial".
    record(0x02FB, {-32 * u, 0, 0, 0, 700, 0, 0, 0, 0, 'A' | ('r' << 8), 'i' | ('a' << 8), 'l'});
    record(0x012D, {2});
    record(0x0102, {1});  // SetBkMode: transparent
    record(0x0521,
           {7, 'V' | ('e' << 8), 'l' | ('m' << 8), 'o' | ('r' << 8), 'a', 216 * u, 216 * u});
    record(0x0000, {});  // end
    QByteArray bytes;
    if (size == WmfSize::Placeable) {
        QVector<int> header{0xCDD7, 0x9AC6, 0, 0, 0, 384 * u, 288 * u, 1440, 0, 0};
        int checksum = 0;
        for (const int w : header) checksum ^= w;
        for (const int w : header) put16(bytes, w);
        put16(bytes, checksum);
    }
    put16(bytes, 1);       // in memory
    put16(bytes, 9);       // header words
    put16(bytes, 0x0300);  // version
    put32(bytes, quint32(9 + records.size() / 2));
    put16(bytes, 3);  // objects
    put32(bytes, quint32(largest));
    put16(bytes, 0);
    return bytes + records;
}

QByteArray fileBytes(const QString& path) {
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << path.toStdString();
    return file.readAll();
}

QByteArray gifOf(const QString& bmpPath, const QString& workFolder) {
    const QString gif = workFolder + QStringLiteral("/converted.gif");
    const int exit =
        QProcess::execute(QStringLiteral(VELMORA_CONVERT),
                          {"-out", "gif", "-dither", "-colors", "256", "-o", gif, bmpPath});
    EXPECT_EQ(exit, 0);
    return fileBytes(gif);
}

void writeBytes(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
    ASSERT_EQ(file.write(bytes), bytes.size()) << path.toStdString();
}

QStringList entries(const QString& folder) {
    return QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden |
                                  QDir::System);
}

void Window::load(const QString& path, Route route) {
    if (route == Route::Open) {
        dialogs().openReply = {path};
        QTest::mouseClick(control<QPushButton>("loadFileButton"), Qt::LeftButton);
        return;
    }
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(path)});
    PictureBox* box = window().workPicture();
    QDragEnterEvent enter(QPoint(1, 1), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(box, &enter);
    ASSERT_TRUE(enter.isAccepted()) << "the picture refused the drag of " << path.toStdString();
    QDropEvent drop(QPointF(1, 1), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(box, &drop);
}

Shown Window::shown() const {
    const PictureBox* box = window().workPicture();
    return {box->picture(), box->image(), box->size()};
}

QStringList Window::complaints() const {
    return dialogs().texts("message") + dialogs().texts("error");
}

void Window::expectLoads(const QString& path, Route route, const QImage& expected,
                         const std::string& label) {
    dialogs().shown.clear();
    load(path, route);
    EXPECT_TRUE(dialogs().shown.isEmpty())
        << label << ": " << complaints().join(" | ").toStdString();
    const Shown now = shown();
    EXPECT_EQ(now.size, expected.size()) << label;
    EXPECT_TRUE(now.picture == expected) << label << ": the picture on screen is not the file's";
    EXPECT_TRUE(now.image == expected) << label;
}

void Window::expectRefused(const Shown& before, const QString& reason, const std::string& label) {
    const QStringList said = complaints();
    const bool named = std::any_of(said.begin(), said.end(), [&](const QString& text) {
        return text.contains(reason, Qt::CaseInsensitive);
    });
    EXPECT_TRUE(named) << label << ": expected a message about \"" << reason.toStdString()
                       << "\", the user saw: " << said.join(" | ").toStdString();
    // A question about the size of a picture that was never loaded only confuses.
    EXPECT_TRUE(dialogs().texts("ask").isEmpty()) << label;
    const Shown now = shown();
    EXPECT_EQ(now.size, before.size) << label;
    EXPECT_TRUE(now.picture == before.picture) << label << ": the previous picture changed";
    EXPECT_TRUE(now.image == before.image) << label << ": the image on screen changed";
}

void setMode(const QString& path, int mode) {
    EXPECT_EQ(::chmod(QFile::encodeName(path).constData(), mode_t(mode)), 0) << path.toStdString();
}

SharedFolder::SharedFolder() : m_dir(QDir::tempPath() + QStringLiteral("/velmora-hostile-XXXXXX")) {
    if (m_dir.isValid()) setMode(m_dir.path(), 0755);
}

QString SharedFolder::makeFolder(const QString& name, int mode) const {
    const QString path = m_dir.filePath(name);
    EXPECT_TRUE(QDir().mkpath(path)) << path.toStdString();
    setMode(path, mode);
    return path;
}

namespace {

std::map<std::string, DeniedCheck>& deniedChecks() {
    static std::map<std::string, DeniedCheck> checks;
    return checks;
}

class DeniedTest : public ::testing::Test {
public:
    DeniedTest(DeniedCheck check, QString folder) : m_check(check), m_folder(std::move(folder)) {}
    void TestBody() override { m_check(m_folder); }

private:
    DeniedCheck m_check;
    QString m_folder;
};

}  // namespace

bool registerDeniedCheck(const char* name, DeniedCheck check) {
    deniedChecks()[name] = check;
    return true;
}

void runDenied(const char* name, const SharedFolder& folder) {
    const auto found = deniedChecks().find(name);
    ASSERT_NE(found, deniedChecks().end()) << name;
    if (::geteuid() != 0) {
        found->second(folder.path());
        return;
    }
    const QString copy =
        folder.makeFolder(QStringLiteral("bin"), 0755) + QStringLiteral("/hostile");
    ASSERT_TRUE(QFile::copy(QCoreApplication::applicationFilePath(), copy));
    setMode(copy, 0755);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("VELMORA_DENIED_CHECK"), QString::fromLatin1(name));
    environment.insert(QStringLiteral("VELMORA_DENIED_FOLDER"), folder.path());
    environment.insert(QStringLiteral("HOME"), folder.path());
    environment.remove(QStringLiteral("XDG_RUNTIME_DIR"));
    QProcess child;
    child.setProcessEnvironment(environment);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(QStringLiteral("setpriv"),
                {QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
                 QStringLiteral("--clear-groups"), QStringLiteral("--"), copy});
    ASSERT_TRUE(child.waitForStarted(10000)) << "setpriv (util-linux) could not be started";
    ASSERT_TRUE(child.waitForFinished(180000)) << "the check as user nobody did not end";
    const std::string output = child.readAll().toStdString();
    EXPECT_EQ(child.exitStatus(), QProcess::NormalExit) << output;
    EXPECT_EQ(child.exitCode(), 0) << output;
    // A copy that ran no test at all would end well too.
    EXPECT_NE(output.find("[  PASSED  ] 1 test."), std::string::npos) << output;
}

// In a copy started by runDenied, makes the requested check the only test.
void selectRequestedDeniedCheck() {
    const QString name = qEnvironmentVariable("VELMORA_DENIED_CHECK");
    if (name.isEmpty()) return;
    static const std::string testName = name.toStdString();
    const auto found = deniedChecks().find(testName);
    const DeniedCheck check = found == deniedChecks().end() ? nullptr : found->second;
    const QString folder = qEnvironmentVariable("VELMORA_DENIED_FOLDER");
    ::testing::RegisterTest(
        "DeniedCheck", testName.c_str(), nullptr, nullptr, __FILE__, __LINE__,
        [check, folder]() -> DeniedTest* {
            return new DeniedTest(
                check ? check : [](const QString&) { FAIL() << "no such check"; }, folder);
        });
    GTEST_FLAG_SET(filter, "DeniedCheck." + testName);
}

const bool kSelectsDeniedCheck = velmora::testing::runBeforeTests(&selectRequestedDeniedCheck);

FileSizeLimit::FileSizeLimit(rlim_t bytes) {
    EXPECT_EQ(::getrlimit(RLIMIT_FSIZE, &m_old), 0);
    // Without this the first write past the limit ends the process.
    m_oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit = m_old;
    limit.rlim_cur = std::min(bytes, m_old.rlim_max);
    EXPECT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
}

FileSizeLimit::~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &m_old);
    std::signal(SIGXFSZ, m_oldHandler);
}

}  // namespace velmora::hostile
