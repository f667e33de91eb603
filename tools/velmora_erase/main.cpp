// velmora-erase: fills the pure green region of a picture with the removal
// engine, for scripts and tests that need no window.

#include <unistd.h>

#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImage>
#include <QImageWriter>
#include <QLoggingCategory>
#include <QString>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "copyright_notice.h"
#include "inpainting.h"
#include "metadata.h"
#include "picture_file.h"
#include "picture_writer.h"
#include "pixel_buffer_adapter.h"
#include "wmf_picture.h"

namespace {

constexpr int kMinBlockSize = 2;
constexpr int kMaxBlockSize = 32;
constexpr int kMinScanBorder = 10;
constexpr int kMaxScanBorder = 500;
constexpr int kMaxThreads = 64;
constexpr int kExitError = 1;
constexpr int kExitNoSource = 2;

const char kUsage[] =
    "usage: velmora-erase [--block-size N] [--scan-border N] [--threads N] [--mask MASK] INPUT "
    "OUTPUT";

const char kHelp[] =
    "Usage: velmora-erase [OPTION]... INPUT OUTPUT\n"
    "Fill the pure green (0, 255, 0) pixels of the picture INPUT from the rest of the\n"
    "picture and write the result to OUTPUT, whose extension (.jpg, .gif, .png,\n"
    ".bmp, ...) names its format. OUTPUT may be INPUT: an existing file is replaced\n"
    "only by a complete new one.\n"
    "\n"
    "A JPEG or PNG OUTPUT keeps the EXIF, IPTC, XMP and colour profile of INPUT\n"
    "(PNG leaves out IPTC), with the orientation reset to upright, the EXIF\n"
    "thumbnail dropped and the pixel size updated; the pixels keep their values.\n"
    "BMP and GIF files, and the other formats, keep none of it.\n"
    "\n"
    "Options:\n"
    "  --block-size N   fill with blocks of (2N+1) x (2N+1) pixels, N from 2 to 32\n"
    "                   (default 4)\n"
    "  --scan-border N  look for source blocks up to N pixels around the marked\n"
    "                   region, N from 10 to 500 (default 10)\n"
    "  --threads N      search with N threads, 1 to 64 (default: one per processor);\n"
    "                   the result is the same for every N\n"
    "  --mask MASK      mark the region with the non-black pixels of the picture MASK\n"
    "                   (the size of INPUT) as well\n"
    "  -h, --help       show this help and exit\n"
    "      --version    show the version and exit\n"
    "\n"
    "Exit status: 0 when the region was filled, 2 when the picture has no source\n"
    "area to fill it from, 1 on any other error.\n";

// The same pixels as three bytes R, G, B each, as the shared encoders take them.
bool toRgbPicture(const QImage& image, velmora::convert::RgbPicture* out) {
    out->width = image.width();
    out->height = image.height();
    if (!out->rgb.allocate(size_t(image.width()) * size_t(image.height()) * 3)) return false;
    for (int y = 0; y < image.height(); ++y) {
        const QRgb* p = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        std::uint8_t* q = out->row(y);
        for (int x = 0; x < image.width(); ++x, q += 3) {
            q[0] = std::uint8_t(qRed(p[x]));
            q[1] = std::uint8_t(qGreen(p[x]));
            q[2] = std::uint8_t(qBlue(p[x]));
        }
    }
    return true;
}

// The extensions OUTPUT may have: the shared encoders' and Qt's other writers'.
std::string takenExtensions() {
    QStringList names = {"gif", "jpeg", "jpg", "png"};
    for (const QByteArray& format : QImageWriter::supportedImageFormats())
        if (!names.contains(QString::fromLatin1(format))) names << QString::fromLatin1(format);
    names.sort();
    return "." + names.join(", .").toStdString();
}

// Writes picture to path in the format its extension names, through a temporary
// file beside it that replaces path only once complete: on any failure, an
// existing file (the input itself, when INPUT = OUTPUT) stays as it was.
// Returns an empty string on success, else the system's reason.
std::string writeOutput(QImage picture, const QString& path, const QByteArray& format,
                        const velmora::convert::PictureMetadata& metadata) {
    const std::string target = QFile::encodeName(path).toStdString();
    using velmora::convert::Publish;
    if (const auto ours = velmora::convert::formatOfExtension(format.toStdString())) {
        velmora::convert::RgbPicture rgb;
        if (!toRgbPicture(picture, &rgb)) return std::strerror(ENOMEM);
        picture = QImage();  // the encoders' own buffers take its place
        const auto keepMetadata = [&](int, const std::string& temporary) {
            return velmora::convert::canHoldMetadata(format.toStdString())
                       ? velmora::convert::writeMetadata(temporary, metadata, rgb.width, rgb.height)
                       : std::string();
        };
        return velmora::convert::writePictureFile(target, rgb, *ours, Publish::Replace, {},
                                                  keepMetadata);
    }
    return velmora::convert::writeFileAtomically(target, Publish::Replace, [&](int fd) {
        return velmora::writePictureTo(fd, picture, format.constData());
    });
}

// Text in a metafile needs the font database, which needs an application. Only
// a metafile gets one: starting it and, above all, ending it (which loads the
// whole font configuration) costs a few hundredths of a second.
bool isMetafile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) && velmora::looksLikeWmf(file.read(64));
}

int fail(const std::string& message) {
    std::fprintf(stderr, "velmora-erase: error: %s\n", message.c_str());
    return kExitError;
}

// Whole-string decimal parse; false on anything else or on overflow.
bool parseInt(const std::string& text, int* value) {
    if (text.empty() || text.size() > 9) return false;
    int v = 0;
    for (char ch : text) {
        if (ch < '0' || ch > '9') return false;
        v = v * 10 + (ch - '0');
    }
    *value = v;
    return true;
}

// A one-line progress display on a terminal; rewritten in place, at most once
// per percent so the terminal is not flooded.
class ProgressLine : public velmora::InpaintObserver {
public:
    explicit ProgressLine(long long total) : m_total(total), m_enabled(isatty(2) != 0) {}
    ~ProgressLine() override { finish(); }

    bool yield() override { return false; }
    void preview(const velmora::PixelView&, const velmora::PixelRect&) override {}
    void stepFinished(int steps, long long pixelsLeft) override {
        if (!m_enabled || m_total <= 0) return;
        const int percent = int((m_total - pixelsLeft) * 100 / m_total);
        if (percent == m_lastPercent) return;
        m_lastPercent = percent;
        std::fprintf(stderr, "\rvelmora-erase: filling %3d%% (step %d)", percent, steps);
        std::fflush(stderr);
        m_shown = true;
    }
    void finish() {
        if (m_shown) {
            std::fputc('\n', stderr);
            m_shown = false;
        }
    }

private:
    long long m_total;
    bool m_enabled;
    bool m_shown = false;
    int m_lastPercent = -1;
};

}  // namespace

int main(int argc, char** argv) {
    // Codec and platform chatter (colour profile notes, a missing runtime folder)
    // would break the one-line error contract.
    QLoggingCategory::setFilterRules(
        QStringLiteral("qt.gui.imageio*=false\ndefault.warning=false"));
    // No window is shown, and the tool's own arguments are not Qt's to read.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    int qtArgc = 1;
    std::optional<QGuiApplication> application;
    int radius = 4;
    int scanBorder = 10;
    int threads = 0;
    QString maskPath;
    std::string positional[2];
    int positionalCount = 0;

    // Arguments: options as "--name N" or "--name=N", then exactly INPUT and OUTPUT;
    // after "--" every argument is a file, so a file name may start with a dash.
    bool optionsEnded = false;
    for (int a = 1; a < argc; ++a) {
        std::string arg = argv[a];
        if (!optionsEnded && arg == "--") {
            optionsEnded = true;
            continue;
        }
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            if (positionalCount == 2) return fail(std::string("too many arguments; ") + kUsage);
            positional[positionalCount++] = arg;
            continue;
        }
        if (arg == "--help" || arg == "-h") {
            std::printf("%s", kHelp);
            return 0;
        }
        if (arg == "--version") {
            std::printf("velmora-erase %s\n%s", VELMORA_VERSION, velmora::kCopyrightNotice);
            return 0;
        }
        if (arg.rfind("--", 0) != 0) return fail("unknown option " + arg + "; " + kUsage);
        {
            std::string name = arg;
            std::string value;
            bool haveValue = false;
            const auto eq = arg.find('=');
            if (eq != std::string::npos) {
                name = arg.substr(0, eq);
                value = arg.substr(eq + 1);
                haveValue = true;
            }
            if (name != "--block-size" && name != "--scan-border" && name != "--threads" &&
                name != "--mask")
                return fail("unknown option " + name + "; " + kUsage);
            if (!haveValue) {
                if (a + 1 >= argc) return fail("option " + name + " needs a value");
                value = argv[++a];
            }
            if (name == "--mask") {
                if (value.empty()) return fail("option --mask needs a file name");
                maskPath = QString::fromLocal8Bit(value.c_str());
                continue;
            }
            int v = 0;
            if (!parseInt(value, &v))
                return fail("option " + name + " takes a whole number, not '" + value + "'");
            if (name == "--block-size") {
                if (v < kMinBlockSize || v > kMaxBlockSize)
                    return fail("--block-size must lie between 2 and 32, not " + value);
                radius = v;
            } else if (name == "--threads") {
                if (v < 1 || v > kMaxThreads)
                    return fail("--threads must lie between 1 and 64, not " + value);
                threads = v;
            } else {
                if (v < kMinScanBorder || v > kMaxScanBorder)
                    return fail("--scan-border must lie between 10 and 500, not " + value);
                scanBorder = v;
            }
        }
    }
    if (positionalCount != 2) return fail(std::string("INPUT and OUTPUT are required; ") + kUsage);

    const QString inputPath = QString::fromLocal8Bit(positional[0].c_str());
    const QString outputPath = QString::fromLocal8Bit(positional[1].c_str());

    // The output format comes from the extension; refuse an unknown one before any work.
    const QByteArray format = QFileInfo(outputPath).suffix().toLower().toLatin1();
    // A bitmap is written without Qt's plugins, which take a while to load.
    if (format.isEmpty() ||
        (!velmora::convert::formatOfExtension(format.toStdString()) && format != "bmp" &&
         !QImageWriter::supportedImageFormats().contains(format)))
        return fail("cannot tell the picture format of " + positional[1] +
                    " from its extension; it takes " + takenExtensions());

    if (isMetafile(inputPath) || (!maskPath.isEmpty() && isMetafile(maskPath)))
        application.emplace(qtArgc, argv);
    QString error;
    QImage picture = velmora::readPictureFile(inputPath, &error);
    if (picture.isNull()) return fail(error.toStdString());
    // Read now: OUTPUT may be INPUT. A picture whose metadata is unreadable is still erased.
    velmora::convert::PictureMetadata metadata;
    const std::string metadataError =
        velmora::convert::readMetadata(QFile::encodeName(inputPath).toStdString(), &metadata);
    if (!metadataError.empty())
        std::fprintf(stderr, "velmora-erase: warning: %s keeps no metadata: %s\n",
                     positional[1].c_str(), metadataError.c_str());

    // A mask file marks the region by its non-black pixels.
    if (!maskPath.isEmpty()) {
        QImage mask = velmora::readPictureFile(maskPath, &error);
        if (mask.isNull()) return fail(error.toStdString());
        if (mask.size() != picture.size())
            return fail("the mask is " + std::to_string(mask.width()) + "x" +
                        std::to_string(mask.height()) + " pixels but the input is " +
                        std::to_string(picture.width()) + "x" + std::to_string(picture.height()));
        for (int y = 0; y < picture.height(); ++y) {
            const QRgb* m = reinterpret_cast<const QRgb*>(mask.constScanLine(y));
            QRgb* p = reinterpret_cast<QRgb*>(picture.scanLine(y));
            for (int x = 0; x < picture.width(); ++x)
                if ((m[x] & 0x00FFFFFFu) != 0) p[x] = qRgb(0, 255, 0);
        }
    }

    // The engine works on the decoded picture in place: a large photo is held once.
    const velmora::PixelView view = velmora::pixelViewOf(&picture);
    if (view.bytes == nullptr) return fail("cannot prepare the picture for the engine");
    // The count is for the progress line alone, shown only on a terminal; a
    // full-size photo takes a good part of a tenth of a second to count.
    long long marked = 0;
    const bool onTerminal = isatty(2) != 0;
    for (int y = 0; onTerminal && y < view.height; ++y) {
        const std::uint8_t* p = view.pixel(0, y);
        for (int x = 0; x < view.width; ++x, p += 4)
            if (p[0] == 0 && p[1] == 255 && p[2] == 0) ++marked;
    }

    velmora::InpaintOptions options;
    options.radius = radius;
    options.scanBorder = scanBorder;
    options.threads = threads;
    velmora::InpaintResult result;
    {
        ProgressLine progress(marked);
        result = velmora::Inpaint(view, options, &progress);
    }
    switch (result.status) {
        case velmora::InpaintStatus::Ok:
            break;
        case velmora::InpaintStatus::NoSourceArea:
            std::fprintf(stderr, "velmora-erase: error: %s\n", result.message.c_str());
            return kExitNoSource;
        default:
            return fail(result.message);
    }

    const std::string why = writeOutput(std::move(picture), outputPath, format, metadata);
    if (!why.empty()) return fail("cannot write " + positional[1] + ": " + why);
    std::printf("steps: %d\n", result.steps);
    return 0;
}
