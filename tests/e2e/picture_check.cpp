// Helper of the end-to-end test: takes screenshots of the X screen and checks
// the pictures the program saved against the ones it was given. Each command
// prints what it found and exits 0 when the check holds, 1 when it does not and
// 2 on bad use or an unreadable file.
#include <QColorSpace>
#include <QDrag>
#include <QGuiApplication>
#include <QImage>
#include <QImageReader>
#include <QMimeData>
#include <QPainter>
#include <QPixmap>
#include <QRasterWindow>
#include <QRect>
#include <QScreen>
#include <QStringList>
#include <QUrl>
#include <cstdio>
#include <cstdlib>
#include <optional>

namespace {

int usage() {
    std::fprintf(stderr,
                 "usage: picture_check grab OUT.png [X Y W H]\n"
                 "       picture_check same A.png B.png\n"
                 "       picture_check removed ORIGINAL RESULT BOX STAMP\n"
                 "       picture_check partial ORIGINAL RESULT BOX\n"
                 "       picture_check filled ORIGINAL RESULT BOX SLACK\n"
                 "       picture_check identical ORIGINAL RESULT\n"
                 "       picture_check enlarge SOURCE FACTOR OUT.png\n"
                 "       picture_check fit SOURCE W H OUT.png\n"
                 "       picture_check drag URL\n"
                 "       picture_check shows SHOT.png X,Y,W,H PICTURE PX,PY\n"
                 "       picture_check solid SHOT.png X,Y,W,H R,G,B\n"
                 "       picture_check size PICTURE\n"
                 "BOX and STAMP are LEFT,TOP,RIGHT,BOTTOM in picture pixels, inclusive.\n");
    return 2;
}

// Decodes a file the way the program does: turned upright by its EXIF orientation, 32-bit RGB.
std::optional<QImage> load(const QString& path, QByteArray* format = nullptr) {
    QImageReader reader(path);
    reader.setAutoTransform(true);
    reader.setDecideFormatFromContent(true);
    if (format) *format = reader.format();
    const QImage image = reader.read();
    if (image.isNull()) {
        std::fprintf(stderr, "cannot read %s: %s\n", qPrintable(path),
                     qPrintable(reader.errorString()));
        return std::nullopt;
    }
    return image.convertToFormat(QImage::Format_RGB32);
}

std::optional<QRect> parseBox(const QString& text) {
    const QStringList parts = text.split(QLatin1Char(','));
    if (parts.size() != 4) return std::nullopt;
    int v[4];
    for (int i = 0; i < 4; ++i) {
        bool ok = false;
        v[i] = parts[i].toInt(&ok);
        if (!ok) return std::nullopt;
    }
    if (v[2] < v[0] || v[3] < v[1]) return std::nullopt;
    return QRect(QPoint(v[0], v[1]), QPoint(v[2], v[3]));
}

bool isMark(QRgb p) { return qRed(p) == 0 && qGreen(p) == 255 && qBlue(p) == 0; }

// The date stamp is printed in a saturated orange that the photo around it lacks.
bool isStampOrange(QRgb p) {
    return qRed(p) > 180 && qRed(p) - qBlue(p) > 90 && qRed(p) > qGreen(p) + 25;
}

struct Comparison {
    long long marks = 0;           // pure green pixels left in the result
    long long changedInside = 0;   // differing pixels inside the box
    long long changedOutside = 0;  // differing pixels outside the box
    QPoint firstOutside{-1, -1};
};

Comparison compare(const QImage& original, const QImage& result, const QRect& box) {
    Comparison c;
    for (int y = 0; y < original.height(); ++y) {
        const auto* a = reinterpret_cast<const QRgb*>(original.constScanLine(y));
        const auto* b = reinterpret_cast<const QRgb*>(result.constScanLine(y));
        for (int x = 0; x < original.width(); ++x) {
            if (isMark(b[x])) ++c.marks;
            if ((a[x] & 0xffffff) == (b[x] & 0xffffff)) continue;
            if (box.contains(x, y)) {
                ++c.changedInside;
            } else {
                if (c.changedOutside == 0) c.firstOutside = QPoint(x, y);
                ++c.changedOutside;
            }
        }
    }
    return c;
}

bool sameSize(const QImage& original, const QImage& result) {
    if (original.size() == result.size()) return true;
    std::printf("size %dx%d, expected %dx%d\n", result.width(), result.height(), original.width(),
                original.height());
    return false;
}

void printComparison(const Comparison& c, const QRect& box) {
    std::printf("box %d,%d-%d,%d: %lld pixels changed inside, %lld outside", box.left(), box.top(),
                box.right(), box.bottom(), c.changedInside, c.changedOutside);
    if (c.changedOutside > 0)
        std::printf(" (first at %d,%d)", c.firstOutside.x(), c.firstOutside.y());
    std::printf("; %lld pure green pixels\n", c.marks);
}

long long countOrange(const QImage& image, const QRect& area) {
    long long n = 0;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            if (isStampOrange(image.pixel(x, y))) ++n;
    return n;
}

// A completed removal: marks gone, the stamp gone, nothing changed outside the box.
int removed(const QString& originalPath, const QString& resultPath, const QRect& box,
            const QRect& stamp) {
    QByteArray format;
    const auto original = load(originalPath);
    const auto result = load(resultPath, &format);
    if (!original || !result) return 2;
    bool ok = true;
    if (format != "png") {
        std::printf("%s is %s, not png\n", qPrintable(resultPath), format.constData());
        ok = false;
    }
    if (!sameSize(*original, *result)) return 1;
    if (!box.contains(stamp) || !original->rect().contains(box)) {
        std::fprintf(stderr, "the stamp must lie inside the box, the box inside the picture\n");
        return 2;
    }
    const Comparison c = compare(*original, *result, box);
    printComparison(c, box);
    const long long before = countOrange(*original, stamp);
    const long long after = countOrange(*result, stamp);
    std::printf("stamp %d,%d-%d,%d: %lld orange pixels before, %lld after\n", stamp.left(),
                stamp.top(), stamp.right(), stamp.bottom(), before, after);
    if (c.marks > 0 || c.changedOutside > 0) ok = false;
    // The fill copies photo from around the stamp; a few orange-ish pixels may come along.
    if (before < 200 || after * 20 > before) ok = false;
    // Every pixel of the box was green before the fill, so nearly all must differ now.
    if (c.changedInside * 10 < qint64(box.width()) * box.height() * 9) ok = false;
    return ok ? 0 : 1;
}

// A stopped removal with preview on: part of the box filled, part still green.
int partial(const QString& originalPath, const QString& resultPath, const QRect& box) {
    const auto original = load(originalPath);
    const auto result = load(resultPath);
    if (!original || !result) return 2;
    if (!sameSize(*original, *result)) return 1;
    const Comparison c = compare(*original, *result, box);
    printComparison(c, box);
    const long long filled = c.changedInside - c.marks;
    std::printf("%lld filled pixels, %lld still marked\n", filled, c.marks);
    return c.changedOutside == 0 && c.marks > 0 && filled > 0 ? 0 : 1;
}

// A completed removal of a box marked at a zoom: nothing changed beyond BOX
// grown by SLACK pixels, no mark left, and BOX shrunk by SLACK filled.
int filled(const QString& originalPath, const QString& resultPath, const QRect& box, int slack) {
    const auto original = load(originalPath);
    const auto result = load(resultPath);
    if (!original || !result) return 2;
    if (!sameSize(*original, *result)) return 1;
    const QRect outer = box.adjusted(-slack, -slack, slack, slack);
    const QRect inner = box.adjusted(slack, slack, -slack, -slack);
    const Comparison c = compare(*original, *result, outer);
    printComparison(c, outer);
    const Comparison core = compare(*original, *result, inner);
    std::printf("%lld of %d pixels changed within %d,%d-%d,%d\n", core.changedInside,
                inner.width() * inner.height(), inner.left(), inner.top(), inner.right(),
                inner.bottom());
    const bool ok = c.marks == 0 && c.changedOutside == 0 &&
                    core.changedInside * 10 >= qint64(inner.width()) * inner.height() * 9;
    return ok ? 0 : 1;
}

int identical(const QString& originalPath, const QString& resultPath) {
    const auto original = load(originalPath);
    const auto result = load(resultPath);
    if (!original || !result) return 2;
    if (!sameSize(*original, *result)) return 1;
    const Comparison c = compare(*original, *result, QRect());
    printComparison(c, QRect());
    return c.changedOutside == 0 ? 0 : 1;
}

int same(const QString& a, const QString& b) {
    const auto first = load(a);
    const auto second = load(b);
    if (!first || !second) return 2;
    if (first->size() != second->size()) return 1;
    return *first == *second ? 0 : 1;
}

std::optional<QList<int>> parseNumbers(const QString& text, int count) {
    const QStringList parts = text.split(QLatin1Char(','));
    if (parts.size() != count) return std::nullopt;
    QList<int> numbers;
    for (const QString& part : parts) {
        bool ok = false;
        numbers << part.toInt(&ok);
        if (!ok) return std::nullopt;
    }
    return numbers;
}

// The screenshot shows, at X,Y, the W x H part of the picture that starts at PX,PY.
int shows(const QString& shotPath, const QString& areaText, const QString& picturePath,
          const QString& originText) {
    const auto shot = load(shotPath);
    auto picture = load(picturePath);
    const auto area = parseNumbers(areaText, 4);
    const auto origin = parseNumbers(originText, 2);
    if (!shot || !picture || !area || !origin) return 2;
    // A picture with a colour profile shows as a colour-managed viewer shows it.
    if (picture->colorSpace().isValid()) picture->convertToColorSpace(QColorSpace::SRgb);
    const QRect onScreen((*area)[0], (*area)[1], (*area)[2], (*area)[3]);
    const QRect inPicture(QPoint((*origin)[0], (*origin)[1]), onScreen.size());
    if (!shot->rect().contains(onScreen) || !picture->rect().contains(inPicture)) {
        std::printf("the area lies outside the screenshot or the picture\n");
        return 1;
    }
    long long differing = 0;
    for (int y = 0; y < onScreen.height(); ++y)
        for (int x = 0; x < onScreen.width(); ++x)
            if ((shot->pixel(onScreen.x() + x, onScreen.y() + y) & 0xffffff) !=
                (picture->pixel(inPicture.x() + x, inPicture.y() + y) & 0xffffff))
                ++differing;
    std::printf("%lld of %lld screen pixels differ from the picture\n", differing,
                qint64(onScreen.width()) * onScreen.height());
    return differing == 0 ? 0 : 1;
}

// Every pixel of the area has the one colour.
int solid(const QString& shotPath, const QString& areaText, const QString& colourText) {
    const auto shot = load(shotPath);
    const auto area = parseNumbers(areaText, 4);
    const auto colour = parseNumbers(colourText, 3);
    if (!shot || !area || !colour) return 2;
    const QRect rect((*area)[0], (*area)[1], (*area)[2], (*area)[3]);
    if (!shot->rect().contains(rect)) return 1;
    const QRgb wanted = qRgb((*colour)[0], (*colour)[1], (*colour)[2]);
    long long other = 0;
    for (int y = rect.top(); y <= rect.bottom(); ++y)
        for (int x = rect.left(); x <= rect.right(); ++x)
            if ((shot->pixel(x, y) & 0xffffff) != (wanted & 0xffffff)) ++other;
    std::printf("%lld of %lld pixels are not %d,%d,%d\n", other,
                qint64(rect.width()) * rect.height(), (*colour)[0], (*colour)[1], (*colour)[2]);
    return other == 0 ? 0 : 1;
}

// Makes a picture for the clipboard big enough that a removal in it runs for a long time.
int enlarge(const QString& source, const QString& factorText, const QString& out) {
    bool ok = false;
    const int factor = factorText.toInt(&ok);
    const auto image = load(source);
    if (!image || !ok || factor < 1) return 2;
    QImage big =
        image->scaled(image->size() * factor, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    big.setColorSpace(QColorSpace());  // plain pixels, no embedded profile
    if (!big.save(out, "PNG")) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(out));
        return 2;
    }
    return 0;
}

// A picture of exactly W x H pixels made from SOURCE.
int fit(const QString& source, const QString& widthText, const QString& heightText,
        const QString& out) {
    const auto image = load(source);
    const int width = widthText.toInt(), height = heightText.toInt();
    if (!image || width < 1 || height < 1) return 2;
    QImage fitted = image->scaled(width, height, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    fitted.setColorSpace(QColorSpace());
    return fitted.save(out, "PNG") ? 0 : 2;
}

// A small window at the screen's top-left corner that a press drags URL from,
// as a file manager or a browser does; prints whether the drop was taken.
class DragSource : public QRasterWindow {
public:
    explicit DragSource(QUrl url) : m_url(std::move(url)) {
        setTitle(QStringLiteral("drag source"));
        setGeometry(20, 20, 100, 100);
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter(this).fillRect(QRect(QPoint(), size()), Qt::darkGray);
    }
    void mousePressEvent(QMouseEvent*) override {
        auto* drag = new QDrag(this);
        auto* data = new QMimeData;
        data->setUrls({m_url});
        drag->setMimeData(data);
        const Qt::DropAction action = drag->exec(Qt::CopyAction);
        std::printf("%s\n", action == Qt::IgnoreAction ? "refused" : "dropped");
        std::fflush(stdout);
        QGuiApplication::quit();
    }

private:
    QUrl m_url;
};

int grab(const QString& out, const QStringList& region) {
    QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen) {
        std::fprintf(stderr, "no screen\n");
        return 2;
    }
    int v[4] = {0, 0, -1, -1};
    for (int i = 0; i < region.size() && i < 4; ++i) v[i] = region[i].toInt();
    const QPixmap shot = screen->grabWindow(0, v[0], v[1], v[2], v[3]);
    if (shot.isNull() || !shot.save(out, "PNG")) {
        std::fprintf(stderr, "cannot save the screenshot to %s\n", qPrintable(out));
        return 2;
    }
    return 0;
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc < 2) return usage();
    const QString command = QString::fromLocal8Bit(argv[1]);
    QStringList args;
    for (int i = 2; i < argc; ++i) args << QString::fromLocal8Bit(argv[i]);
    if (command == QLatin1String("grab")) {
        if (args.size() != 1 && args.size() != 5) return usage();
        QGuiApplication app(argc, argv);
        return grab(args[0], args.mid(1));
    }
    if (command == QLatin1String("drag")) {
        if (args.size() != 1) return usage();
        QGuiApplication app(argc, argv);
        DragSource source{QUrl(args[0])};
        source.show();
        return app.exec();
    }
    // Reading pictures needs the image plugins, not a display.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    if (command == QLatin1String("same") && args.size() == 2) return same(args[0], args[1]);
    if (command == QLatin1String("identical") && args.size() == 2)
        return identical(args[0], args[1]);
    if (command == QLatin1String("shows") && args.size() == 4)
        return shows(args[0], args[1], args[2], args[3]);
    if (command == QLatin1String("solid") && args.size() == 3)
        return solid(args[0], args[1], args[2]);
    if (command == QLatin1String("size") && args.size() == 1) {
        const auto image = load(args[0]);
        if (!image) return 2;
        std::printf("%d %d\n", image->width(), image->height());
        return 0;
    }
    if (command == QLatin1String("fit") && args.size() == 4)
        return fit(args[0], args[1], args[2], args[3]);
    if (command == QLatin1String("enlarge") && args.size() == 3)
        return enlarge(args[0], args[1], args[2]);
    if (command == QLatin1String("removed") && args.size() == 4) {
        const auto box = parseBox(args[2]);
        const auto stamp = parseBox(args[3]);
        if (!box || !stamp) return usage();
        return removed(args[0], args[1], *box, *stamp);
    }
    if (command == QLatin1String("partial") && args.size() == 3) {
        const auto box = parseBox(args[2]);
        if (!box) return usage();
        return partial(args[0], args[1], *box);
    }
    if (command == QLatin1String("filled") && args.size() == 4) {
        const auto box = parseBox(args[2]);
        bool ok = false;
        const int slack = args[3].toInt(&ok);
        if (!box || !ok) return usage();
        return filled(args[0], args[1], *box, slack);
    }
    return usage();
}
