#include "wmf_picture.h"

#include <QPainter>
#include <QPainterPath>
#include <QStringDecoder>
#include <QVector>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <variant>

namespace velmora {

namespace {

constexpr quint32 kPlaceableKey = 0x9AC6CDD7u;
constexpr int kPlaceableBytes = 22;
constexpr int kHeaderBytes = 18;
constexpr double kHimetricPerPixel = 26.46;
constexpr double kHimetricPerInch = 2540.0;
// As for the other kinds: a picture the memory cannot comfortably hold is refused.
constexpr qint64 kMaxPixels = 400LL * 1000 * 1000;
// A bitmap inside a metafile larger than this is damage, not a drawing.
constexpr qint64 kMaxBitmapPixels = 100LL * 1000 * 1000;
// Without a placeable header, a window larger than this in pixels is taken to
// be in twips, the unit of the office programs and equation editors that write
// such files: read as pixels, their pictures come out fifteen times too large.
constexpr int kLargestPixelWindow = 1920;
constexpr double kTwipsPerInch = 1440.0;
constexpr double kPixelsPerInch = 96.0;

// Logical units per inch of the fixed mapping modes (lometric .. twips); 0 for the others.
double unitsPerInch(int mapMode) {
    switch (mapMode) {
        case 2:
            return 254.0;
        case 3:
            return 2540.0;
        case 4:
            return 100.0;
        case 5:
            return 1000.0;
        case 6:
            return kTwipsPerInch;
        default:
            return 0.0;
    }
}

quint16 word(const QByteArray& b, qsizetype at) {
    return quint16(quint8(b[at]) | (quint8(b[at + 1]) << 8));
}
quint32 dword(const QByteArray& b, qsizetype at) {
    return word(b, at) | (quint32(word(b, at + 2)) << 16);
}

enum Function : quint16 {
    kEof = 0x0000,
    kSaveDc = 0x001E,
    kSetBkMode = 0x0102,
    kSetMapMode = 0x0103,
    kSetRop2 = 0x0104,
    kSetPolyFillMode = 0x0106,
    kRestoreDc = 0x0127,
    kSelectObject = 0x012D,
    kSetTextAlign = 0x012E,
    kDeleteObject = 0x01F0,
    kSetBkColor = 0x0201,
    kSetTextColor = 0x0209,
    kSetWindowOrg = 0x020B,
    kSetWindowExt = 0x020C,
    kOffsetWindowOrg = 0x020F,
    kLineTo = 0x0213,
    kMoveTo = 0x0214,
    kCreatePenIndirect = 0x02FA,
    kCreateFontIndirect = 0x02FB,
    kCreateBrushIndirect = 0x02FC,
    kPolygon = 0x0324,
    kPolyline = 0x0325,
    kScaleWindowExt = 0x0410,
    kIntersectClipRect = 0x0416,
    kEllipse = 0x0418,
    kRectangle = 0x041B,
    kSetPixel = 0x041F,
    kTextOut = 0x0521,
    kPolyPolygon = 0x0538,
    kRoundRect = 0x061C,
    kPatBlt = 0x061D,
    kArc = 0x0817,
    kPie = 0x081A,
    kChord = 0x0830,
    kExtTextOut = 0x0A32,
    kSetDiBitsToDevice = 0x0D33,
    kBitBlt = 0x0922,
    kStretchBlt = 0x0B23,
    kDibBitBlt = 0x0940,
    kDibStretchBlt = 0x0B41,
    kDibCreatePatternBrush = 0x0142,
    kStretchDib = 0x0F43,
    kCreatePalette = 0x00F7,
    kCreatePatternBrush = 0x01F9,
    kCreateRegion = 0x06FF,
};

// A record: its parameter words, read as zero past its end.
struct Record {
    const QByteArray* bytes;
    qsizetype first;  // byte offset of parameter 0
    qint64 words;     // parameter words
    quint16 function;

    quint16 u(qint64 k) const { return k >= 0 && k < words ? word(*bytes, first + 2 * k) : 0; }
    qint16 s(qint64 k) const { return qint16(u(k)); }
    quint32 u32(qint64 k) const { return u(k) | (quint32(u(k + 1)) << 16); }
    // Bytes from parameter k to the record's end.
    QByteArray tail(qint64 k) const {
        return k >= words ? QByteArray() : bytes->mid(first + 2 * k, 2 * (words - k));
    }
};

// A device-independent bitmap in `dib`: its header, palette and rows must all lie inside.
bool dibFits(const QByteArray& dib) {
    const qint64 bytes = dib.size();
    if (bytes < 12) return false;
    const quint32 headerSize = dword(dib, 0);
    qint64 width, height, bits, compression = 0, colours = 0, imageSize = 0;
    if (headerSize == 12) {
        width = word(dib, 4);
        height = word(dib, 6);
        bits = word(dib, 10);
    } else {
        if (headerSize < 40 || headerSize > bytes) return false;
        width = qint32(dword(dib, 4));
        height = qint32(dword(dib, 8));
        bits = word(dib, 14);
        compression = dword(dib, 16);
        imageSize = dword(dib, 20);
        colours = dword(dib, 32);
    }
    width = std::llabs(width);
    height = std::llabs(height);
    if (width == 0 || height == 0 || width * height > kMaxBitmapPixels) return false;
    if (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32) return false;
    if (bits <= 8 && (colours == 0 || colours > (1 << bits))) colours = qint64(1) << bits;
    if (bits > 8 && colours > 256) return false;
    const qint64 masks = compression == 3 && headerSize == 40 ? 12 : 0;
    const qint64 dataStart = headerSize + masks + colours * (headerSize == 12 ? 3 : 4);
    if (dataStart > bytes) return false;
    const qint64 available = bytes - dataStart;
    if (compression == 1 || compression == 2) return imageSize > 0 && imageSize <= available;
    if (compression != 0 && compression != 3) return false;
    const qint64 rowBytes = (width * bits + 31) / 32 * 4;
    return height <= available / rowBytes;
}

// A device-dependent bitmap of the oldest records: a 10-byte header (type,
// width, height, bytes per row, planes, bits per pixel) and rows from the top.
bool bitmap16Fits(const QByteArray& b) {
    if (b.size() < 10) return false;
    const qint64 width = word(b, 2), height = word(b, 4), rowBytes = word(b, 6);
    const qint64 bits = qint64(quint8(b[8])) * quint8(b[9]);
    return width > 0 && height > 0 && width * height <= kMaxBitmapPixels &&
           rowBytes * 8 >= width * bits && rowBytes * height <= b.size() - 10;
}

// Such a bitmap as a picture: one bit per pixel in the text colour (0) and the
// background colour (1), or 24 or 32 bits; null for the others, whose colours
// belong to a device.
QImage bitmap16Image(const QByteArray& b, QColor foreground, QColor background) {
    const int width = word(b, 2), height = word(b, 4), rowBytes = word(b, 6);
    const int depth = quint8(b[8]) == 1 ? quint8(b[9]) : 0;  // one plane only
    const QImage::Format format = depth == 1    ? QImage::Format_Mono
                                  : depth == 24 ? QImage::Format_BGR888
                                  : depth == 32 ? QImage::Format_RGB32
                                                : QImage::Format_Invalid;
    if (format == QImage::Format_Invalid) return {};
    QImage image(width, height, format);
    if (image.isNull()) return {};
    if (depth == 1) image.setColorTable({foreground.rgb(), background.rgb()});
    for (int y = 0; y < height; ++y)
        std::memcpy(image.scanLine(y), b.constData() + 10 + qsizetype(y) * rowBytes,
                    std::min<qsizetype>(rowBytes, image.bytesPerLine()));
    return image;
}

// Where the bitmap of a bitmap record starts, in parameter words; -1 for others.
int dibStart(quint16 f) {
    switch (f) {
        case kSetDiBitsToDevice:
            return 9;
        case kDibBitBlt:
            return 8;
        case kDibStretchBlt:
            return 10;
        case kStretchDib:
            return 11;
        case kDibCreatePatternBrush:
            return 2;
        default:
            return -1;
    }
}

// Whether what a drawn record claims to hold lies inside it.
bool contentsFit(const Record& r) {
    const qint64 n = r.words;
    switch (r.function) {
        case kPolygon:
        case kPolyline:
            return n >= 1 && 1 + 2 * qint64(r.u(0)) <= n;
        case kPolyPolygon: {
            const qint64 polygons = r.u(0);
            if (n < 1 || 1 + polygons > n) return false;
            qint64 points = 0;
            for (qint64 k = 0; k < polygons; ++k) points += r.u(1 + k);
            return 1 + polygons + 2 * points <= n;
        }
        case kTextOut:
            return n >= 1 && 1 + (qint64(r.u(0)) + 1) / 2 + 2 <= n;
        case kExtTextOut:
            return n >= 4 && 4 + ((r.u(3) & 0x0006) ? 4 : 0) + (qint64(r.u(2)) + 1) / 2 <= n;
        case kCreateFontIndirect:
            return n >= 9;
        case kCreatePenIndirect:
            return n >= 5;
        case kCreateBrushIndirect:
            return n >= 4;
        case kBitBlt:
        case kStretchBlt:
        case kDibBitBlt:
        case kDibStretchBlt:
            // Without a bitmap the transfer is one of pattern and destination only.
            if (n == (r.function >> 8)) return true;
            if (r.function == kBitBlt || r.function == kStretchBlt) {
                const int at = r.function == kBitBlt ? 8 : 10;
                return n > at && bitmap16Fits(r.tail(at));
            }
            [[fallthrough]];
        default: {
            const int at = dibStart(r.function);
            return at < 0 || (n > at && dibFits(r.tail(at)));
        }
    }
}

// The checked record walk: every record lies inside the file, the last one is
// the end record, and what the drawn records claim to hold lies inside them.
struct Walk {
    QString problem;  // empty when the file is sound
    QRect frame;      // placeable: the bounding box in the file's units
    QSize size;       // pixels; empty when the file states none
    int objects = 0;
    QVector<Record> records;
};

Walk walk(const QByteArray& b, const QString& name) {
    Walk result;
    const auto incomplete = [&](const QString& why) {
        result.problem = QStringLiteral("%1 is incomplete: %2.").arg(name, why);
        return result;
    };
    const auto damaged = [&](const QString& why) {
        result.problem = QStringLiteral("%1 is not a sound metafile: %2.").arg(name, why);
        return result;
    };
    const auto tooLarge = [&](double width, double height) {
        return damaged(
            QStringLiteral("its size, %1 x %2 pixels, is too large").arg(width).arg(height));
    };
    const qsizetype n = b.size();
    qsizetype at = 0;
    if (n >= 4 && dword(b, 0) == kPlaceableKey) {
        if (n < kPlaceableBytes)
            return incomplete(QStringLiteral("the file ends inside its header"));
        const int left = qint16(word(b, 6)), top = qint16(word(b, 8));
        const int right = qint16(word(b, 10)), bottom = qint16(word(b, 12));
        const int unitsPerInch = word(b, 14);
        if (unitsPerInch == 0 || right == left || bottom == top)
            return damaged(QStringLiteral("its header gives no size"));
        // Size in 0.01 mm, then pixels as for every picture kind.
        const auto pixels = [&](int units) {
            return std::nearbyint(std::abs(units) * kHimetricPerInch / unitsPerInch /
                                  kHimetricPerPixel);
        };
        const double width = std::max(1.0, pixels(right - left));
        const double height = std::max(1.0, pixels(bottom - top));
        if (width * height > double(kMaxPixels)) return tooLarge(width, height);
        result.frame = QRect(QPoint(left, top), QSize(right - left, bottom - top));
        result.size = QSize(int(width), int(height));
        at = kPlaceableBytes;
    }
    if (n - at < kHeaderBytes) return incomplete(QStringLiteral("the file ends inside its header"));
    const quint16 type = word(b, at), headerWords = word(b, at + 2);
    if ((type != 1 && type != 2) || headerWords != 9)
        return damaged(QStringLiteral("its header is not a metafile header"));
    // Some writers count the placeable header in, others do not: both are taken.
    const qint64 statedBytes = 2 * qint64(dword(b, at + 6));
    if (statedBytes > n)
        return incomplete(QStringLiteral("its header states %1 bytes, the file holds %2")
                              .arg(statedBytes)
                              .arg(n));
    result.objects = word(b, at + 10);

    qsizetype p = at + kHeaderBytes;
    int mapMode = 1;
    for (int index = 1;; ++index) {
        if (n - p < 6) return incomplete(QStringLiteral("it has no end record"));
        const qint64 words = dword(b, p);
        const quint16 function = word(b, p + 4);
        if (words < 3)
            return damaged(QStringLiteral("record %1 is shorter than a record").arg(index));
        if (words > (n - p) / 2)
            return incomplete(QStringLiteral("record %1 runs past the end of the file").arg(index));
        if (function == kEof) break;
        const Record record{&b, p + 6, words - 3, function};
        if (!contentsFit(record))
            return damaged(QStringLiteral("record %1 is too short for what it holds").arg(index));
        if (function == kSetMapMode) mapMode = record.u(0);
        if (function == kSetWindowExt && result.frame.isNull() && result.size.isEmpty()) {
            const int extentWidth = std::abs(record.s(1)), extentHeight = std::abs(record.s(0));
            double perInch = unitsPerInch(mapMode);
            if (perInch == 0)
                perInch = std::max(extentWidth, extentHeight) > kLargestPixelWindow
                              ? kTwipsPerInch
                              : kPixelsPerInch;
            // Through 0.01 mm, as a placeable header's size.
            const auto pixels = [&](int units) {
                return std::max(
                    1.0, std::nearbyint(units * kHimetricPerInch / perInch / kHimetricPerPixel));
            };
            const double width = pixels(extentWidth), height = pixels(extentHeight);
            if (width * height > double(kMaxPixels)) return tooLarge(width, height);
            if (extentWidth > 0 && extentHeight > 0) result.size = QSize(int(width), int(height));
        }
        result.records.push_back(record);
        p += 2 * words;
    }
    if (result.size.isEmpty())
        return damaged(
            QStringLiteral("it states no picture size (no placeable header, no window extent)"));
    return result;
}

QColor colour(quint32 colorRef) {
    return QColor(int(colorRef & 0xff), int((colorRef >> 8) & 0xff), int((colorRef >> 16) & 0xff));
}

// A bitmap record's bitmap as a picture; null when it cannot be decoded.
QImage dibImage(const QByteArray& dib) {
    const quint32 headerSize = dword(dib, 0);
    qint64 offset = 14 + headerSize;
    if (headerSize == 12) {
        const int bits = word(dib, 10);
        if (bits <= 8) offset += 3 * (qint64(1) << bits);
    } else {
        const int bits = word(dib, 14);
        const quint32 compression = dword(dib, 16);
        qint64 colours = dword(dib, 32);
        if (bits <= 8 && (colours == 0 || colours > (1 << bits))) colours = qint64(1) << bits;
        offset += 4 * colours + (compression == 3 && headerSize == 40 ? 12 : 0);
    }
    QByteArray file("BM");
    const quint32 total = quint32(14 + dib.size());
    for (const quint32 value : {total, 0u, quint32(offset)})
        for (int k = 0; k < 4; ++k) file.append(char((value >> (8 * k)) & 0xff));
    return QImage::fromData(file + dib, "BMP");
}

// Glyph outlines are made at this size and then scaled, so that any size and
// any stretch, however extreme, draws the same shapes.
constexpr int kOutlinePixels = 256;
// The characters' height in pixels of the device's own font, used until a file
// selects one of its own, and for a font that states no height.
constexpr double kDeviceFontPixels = 12;

QFont outlineFace(const QString& family) {
    QFont face(family);
    face.setPixelSize(kOutlinePixels);
    return face;
}

// A font as the file gives it: sizes in logical units, angle in tenths of a degree.
struct Font {
    QFont face = outlineFace(QString());
    const char* encoding = "windows-1252";  // nullptr: the byte values as they are
    double emHeight = 0;                    // the characters' height; 0: the device's font
    double averageWidth = 0;                // 0: the face's own proportions
    int escapement = 0;  // the baseline's angle, counter-clockwise on the picture
};

using Object = std::variant<std::monostate, QPen, QBrush, Font>;

// The text encoding of a font's character set; nullptr for symbol fonts, whose
// byte values are their glyphs' codes.
const char* encodingOf(int characterSet) {
    static const std::pair<int, const char*> sets[] = {
        {0, "windows-1252"},   {1, "windows-1252"},   {2, nullptr},          {128, "Shift_JIS"},
        {129, "windows-949"},  {134, "GBK"},          {136, "Big5"},         {161, "windows-1253"},
        {162, "windows-1254"}, {163, "windows-1258"}, {177, "windows-1255"}, {178, "windows-1256"},
        {186, "windows-1257"}, {204, "windows-1251"}, {222, "windows-874"},  {238, "windows-1250"},
        {255, "IBM437"}};
    for (const auto& [set, encoding] : sets)
        if (set == characterSet) return encoding;
    return "windows-1252";
}

QStringDecoder decoderOf(const char* encoding) {
    return encoding ? QStringDecoder(encoding) : QStringDecoder();
}

// Raster operations that need pattern, source and picture together work on
// bands of this many rows.
constexpr int kBandRows = 256;

// The composition mode of each binary raster operation R2_BLACK .. R2_WHITE.
QPainter::CompositionMode compositionOfRop2(int rop2) {
    using M = QPainter::CompositionMode;
    static const M modes[] = {
        M::RasterOp_ClearDestination,        M::RasterOp_NotSourceAndNotDestination,
        M::RasterOp_NotSourceAndDestination, M::RasterOp_NotSource,
        M::RasterOp_SourceAndNotDestination, M::RasterOp_NotDestination,
        M::RasterOp_SourceXorDestination,    M::RasterOp_NotSourceOrNotDestination,
        M::RasterOp_SourceAndDestination,    M::RasterOp_NotSourceXorDestination,
        M::CompositionMode_Destination,      M::RasterOp_NotSourceOrDestination,
        M::CompositionMode_SourceOver,       M::RasterOp_SourceOrNotDestination,
        M::RasterOp_SourceOrDestination,     M::RasterOp_SetDestination};
    return rop2 >= 1 && rop2 <= 16 ? modes[rop2 - 1] : M::CompositionMode_SourceOver;
}

// A ternary raster operation on one channel: bit m of `rop` is the result
// for pattern bit m>>2, source bit (m>>1)&1 and destination bit m&1.
quint32 ternaryOp(quint8 rop, quint32 pattern, quint32 source, quint32 destination) {
    quint32 result = 0;
    for (int m = 0; m < 8; ++m)
        if (rop & (1 << m))
            result |= ((m & 4) ? pattern : ~pattern) & ((m & 2) ? source : ~source) &
                      ((m & 1) ? destination : ~destination);
    return result;
}

// What SaveDC keeps besides the painter's own state.
struct DrawState {
    QPointF position;
    QPoint windowOrigin;
    QSize windowExtent;
    quint16 textAlign = 0;
    QColor textColour = Qt::black;
    Qt::FillRule fillRule = Qt::OddEvenFill;
    Font font;
    QPainter::CompositionMode composition = QPainter::CompositionMode_SourceOver;
};

class Player {
public:
    Player(const Walk& walk, QImage* image)
        : m_walk(walk), m_image(image), m_painter(image), m_size(image->size()) {
        m_objects.resize(walk.objects);
        // Shapes without smoothing, as the metafile's own device draws them:
        // smoothed edges of adjoining fills leave light seams between them,
        // and raster operations on partly covered pixels give stray colours.
        m_painter.setRenderHint(QPainter::Antialiasing, false);
        m_painter.setRenderHint(QPainter::SmoothPixmapTransform);
        m_painter.setPen(QPen(Qt::black, 0));
        m_painter.setBrush(Qt::white);
        m_painter.setBackground(Qt::white);
        m_painter.setBackgroundMode(Qt::OpaqueMode);
        if (!walk.frame.isNull()) {
            m_state.windowOrigin = walk.frame.topLeft();
            m_state.windowExtent = walk.frame.size();
        } else {
            m_state.windowExtent = m_size;
        }
        applyWindow();
    }

    void play() {
        for (const Record& r : m_walk.records) playRecord(r);
    }

private:
    // The window (file units) maps onto the whole picture.
    void applyWindow() {
        const QSize ext = m_state.windowExtent;
        if (ext.width() == 0 || ext.height() == 0) return;
        QTransform t;
        t.scale(double(m_size.width()) / ext.width(), double(m_size.height()) / ext.height());
        t.translate(-m_state.windowOrigin.x(), -m_state.windowOrigin.y());
        m_painter.setTransform(t);
    }

    // Rectangles come as bottom, right, top, left from parameter k.
    static QRectF rect(const Record& r, int k) {
        return QRectF(QPointF(r.s(k + 3), r.s(k + 2)), QPointF(r.s(k + 1), r.s(k))).normalized();
    }

    QPolygonF points(const Record& r, qint64 first, qint64 count) {
        QPolygonF polygon;
        polygon.reserve(int(count));
        for (qint64 k = 0; k < count; ++k)
            polygon << QPointF(r.s(first + 2 * k), r.s(first + 2 * k + 1));
        return polygon;
    }

    void store(const Object& object) {
        for (Object& slot : m_objects) {
            if (std::holds_alternative<std::monostate>(slot)) {
                slot = object;
                // A slot taken by an object that is not drawn still counts.
                if (std::holds_alternative<std::monostate>(object)) slot = QBrush(Qt::NoBrush);
                return;
            }
        }
    }

    void select(int index) {
        if (index < 0 || index >= m_objects.size()) return;
        const Object& object = m_objects[index];
        if (const auto* pen = std::get_if<QPen>(&object)) m_painter.setPen(*pen);
        if (const auto* brush = std::get_if<QBrush>(&object)) m_painter.setBrush(*brush);
        if (const auto* font = std::get_if<Font>(&object)) m_state.font = *font;
    }

    QPen pen(const Record& r) const {
        const int style = r.u(0) & 0x0f;
        const Qt::PenStyle styles[] = {Qt::SolidLine, Qt::DashLine, Qt::DotLine, Qt::DashDotLine,
                                       Qt::DashDotDotLine};
        if (style == 5) return QPen(Qt::NoPen);
        // Widths up to one unit draw one pixel wide, as on screen.
        const int width = std::abs(r.s(1));
        QPen pen(colour(r.u32(3)), width <= 1 ? 0 : width);
        pen.setStyle(style < 5 ? styles[style] : Qt::SolidLine);
        return pen;
    }

    QBrush brush(const Record& r) const {
        const Qt::BrushStyle hatches[] = {Qt::HorPattern,   Qt::VerPattern,   Qt::FDiagPattern,
                                          Qt::BDiagPattern, Qt::CrossPattern, Qt::DiagCrossPattern};
        const QColor c = colour(r.u32(1));
        switch (r.u(0)) {
            case 0:
                return QBrush(c);
            case 2:
                return QBrush(c, r.u(3) < 6 ? hatches[r.u(3)] : Qt::SolidPattern);
            default:
                return QBrush(Qt::NoBrush);
        }
    }

    Font font(const Record& r) const {
        QByteArray face = r.tail(9);
        const qsizetype end = face.indexOf('\0');
        if (end >= 0) face.truncate(end);
        Font font;
        font.encoding = encodingOf(r.u(6) >> 8);
        QStringDecoder decoder = decoderOf(font.encoding);
        font.face = outlineFace(decoder.isValid() ? decoder(face.left(32))
                                                  : QString::fromLatin1(face.left(32)));
        // Negative: the characters' height; positive: the cell's, a little more.
        const int height = r.s(0);
        font.emHeight = height < 0 ? -height : height * 7.0 / 8.0;
        font.averageWidth = std::abs(r.s(1));
        font.escapement = r.s(2);
        const int weight = r.s(4);
        if (weight > 0) font.face.setWeight(QFont::Weight(std::clamp(weight, 1, 1000)));
        font.face.setItalic(r.u(5) & 0xff);
        font.face.setUnderline(r.u(5) >> 8);
        font.face.setStrikeOut(r.u(6) & 0xff);
        return font;
    }

    // Text at `at` (logical units), with each character's advance in `advances`
    // (logical units) or, when empty, the font's own. Text is laid out on the
    // picture itself, so a flipped axis mirrors where it goes, never the glyphs.
    void text(QPointF at, const QByteArray& bytes, const QVector<double>& advances) {
        const Font& font = m_state.font;
        // The characters, and the byte each starts at: a double-byte character
        // set has an advance for each byte.
        QStringDecoder decoder = decoderOf(font.encoding);
        QString string;
        QVector<qsizetype> firstBytes;
        qsizetype first = 0;
        for (qsizetype k = 0; k < bytes.size(); ++k) {
            const QString piece =
                decoder.isValid() ? decoder(bytes.mid(k, 1)) : QString(QChar(uchar(bytes[k])));
            for (const QChar c : piece) string += c, firstBytes << first;
            if (!piece.isEmpty()) first = k + 1;
        }
        const QTransform window = m_painter.transform();
        const double xScale = std::abs(window.m11()), yScale = std::abs(window.m22());
        // First the sizes in pixels, and the glyphs' stretch when the file sets a width.
        const double em = font.emHeight > 0 ? font.emHeight * yScale : kDeviceFontPixels;
        if (!(em > 0) || string.isEmpty()) return;
        const double toPixels = em / kOutlinePixels;
        const QFontMetricsF metrics(font.face);
        double stretch = 1;
        if (font.averageWidth > 0 && metrics.averageCharWidth() > 0)
            stretch = font.averageWidth * xScale / (metrics.averageCharWidth() * toPixels);
        // Now the characters' places along the baseline, in outline units.
        QVector<double> starts;
        double width = 0;
        if (advances.size() == bytes.size()) {
            QVector<double> byteStarts;
            for (const double advance : advances) {
                byteStarts << width;
                width += advance * xScale / toPixels;
            }
            for (const qsizetype at : firstBytes) starts << byteStarts[at];
        } else {
            width = metrics.horizontalAdvance(string) * stretch;
        }
        const quint16 align = m_state.textAlign;
        if (align & 0x0001) at = m_state.position;  // TA_UPDATECP
        QPointF origin;
        if ((align & 0x0006) == 0x0006)
            origin.rx() = -width / 2;
        else if (align & 0x0002)
            origin.rx() = -width;
        if ((align & 0x0018) == 0)
            origin.ry() = metrics.ascent();  // TA_TOP
        else if ((align & 0x0018) == 0x0008)
            origin.ry() = -metrics.descent();  // TA_BOTTOM
        QPainterPath outline;
        if (starts.isEmpty()) {
            outline.addText(0, 0, font.face, string);
            outline = QTransform::fromScale(stretch, 1).map(outline);
            outline.translate(origin);
        } else {
            for (qsizetype k = 0; k < string.size(); ++k) {
                QPainterPath glyph;
                glyph.addText(0, 0, font.face, string.mid(k, 1));
                glyph = QTransform::fromScale(stretch, 1).map(glyph);
                glyph.translate(origin.x() + starts[k], origin.y());
                outline.addPath(glyph);
            }
        }
        // Then onto the picture: at the reference point, turned by the escapement.
        const QPointF device = window.map(at);
        QTransform place;
        place.translate(device.x(), device.y());
        place.rotate(-font.escapement / 10.0);
        place.scale(toPixels, toPixels);
        m_painter.save();
        m_painter.setTransform(place);
        m_painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
        if (m_painter.backgroundMode() == Qt::OpaqueMode)
            m_painter.fillRect(QRectF(origin.x(), origin.y() - metrics.ascent(), width,
                                      metrics.ascent() + metrics.descent()),
                               m_painter.background());
        // As outlines, not through the glyph cache: a file may stretch a glyph
        // a thousandfold, and Qt's glyph bitmaps break at such sizes.
        m_painter.setRenderHint(QPainter::Antialiasing);
        m_painter.fillPath(outline, m_state.textColour);
        m_painter.restore();
        if (align & 0x0001) {
            // Past the text's end; right-aligned text moves the position to its start.
            const double along = (align & 0x0006) == 0x0006 ? 0 : align & 0x0002 ? -width : width;
            bool invertible = false;
            const QTransform back = window.inverted(&invertible);
            if (invertible) m_state.position = back.map(place.map(QPointF(along, 0)));
        }
    }

    // A raster operation over `target` (logical units) of the brush as pattern,
    // `source` (its part `part`) stretched over the target, and the picture.
    void transfer(QRectF target, quint32 rop, const QImage& source = {}, QRectF part = {}) {
        const quint8 op = quint8(rop >> 16);
        target = target.normalized();
        if (part.isEmpty() && !source.isNull()) part = source.rect();
        if (op == 0xAA || target.isEmpty()) return;  // the destination as it is
        // Most operations leave out the source or the pattern: they are one of
        // the painter's binary raster modes, with truth table bits (P or S, D).
        const bool usesSource = ((op >> 2) & 0x33) != (op & 0x33);
        const bool usesPattern = (op >> 4) != (op & 0x0F);
        if (!usesSource || (!usesPattern && !source.isNull())) {
            const int table = usesSource ? op & 0x0F : (op & 3) | ((op >> 2) & 0x0C);
            m_painter.save();
            m_painter.setCompositionMode(compositionOfRop2(table + 1));
            if (usesSource)
                m_painter.drawImage(target, source, part);
            else
                m_painter.fillRect(target, m_painter.brush());
            m_painter.restore();
            return;
        }
        // The rest, bit by bit, in bands that keep the working copies small.
        const QRect area =
            m_painter.transform().mapRect(target).toAlignedRect() & QRect(QPoint(0, 0), m_size);
        for (int top = area.top(); top <= area.bottom(); top += kBandRows) {
            const QRect band(area.left(), top, area.width(),
                             std::min(kBandRows, area.bottom() + 1 - top));
            const auto layer = [&](auto draw) {
                QImage image(band.size(), QImage::Format_RGB32);
                image.fill(Qt::black);
                QPainter painter(&image);
                painter.setRenderHint(QPainter::SmoothPixmapTransform);
                painter.translate(-band.topLeft());
                painter.setTransform(m_painter.transform(), true);
                painter.setBrushOrigin(m_painter.brushOrigin());
                painter.setBackground(m_painter.background());
                painter.setBackgroundMode(m_painter.backgroundMode());
                draw(painter);
                return image;
            };
            // Only the pixels a fill of the target covers change.
            const QImage covered = layer([&](QPainter& p) { p.fillRect(target, Qt::white); });
            const QImage pattern =
                layer([&](QPainter& p) { p.fillRect(target, m_painter.brush()); });
            const QImage sourceLayer = layer([&](QPainter& p) {
                if (!source.isNull()) p.drawImage(target, source, part);
            });
            QImage result = m_image->copy(band);
            for (int y = 0; y < band.height(); ++y) {
                const QRgb* p = reinterpret_cast<const QRgb*>(pattern.constScanLine(y));
                const QRgb* s = reinterpret_cast<const QRgb*>(sourceLayer.constScanLine(y));
                const QRgb* c = reinterpret_cast<const QRgb*>(covered.constScanLine(y));
                QRgb* d = reinterpret_cast<QRgb*>(result.scanLine(y));
                for (int x = 0; x < band.width(); ++x)
                    if (c[x] & 0xffffff) d[x] = 0xff000000u | ternaryOp(op, p[x], s[x], d[x]);
            }
            m_painter.save();
            m_painter.resetTransform();
            m_painter.setCompositionMode(QPainter::CompositionMode_Source);
            m_painter.drawImage(band.topLeft(), result);
            m_painter.restore();
        }
    }

    void drawBitmap(const Record& r, int at, QRectF source, QRectF target, quint32 rop) {
        const QImage bitmap =
            r.function == kBitBlt || r.function == kStretchBlt
                ? bitmap16Image(r.tail(at), m_state.textColour, m_painter.background().color())
                : dibImage(r.tail(at));
        if (bitmap.isNull()) return;
        if (source.isEmpty()) source = bitmap.rect();
        transfer(target, rop, bitmap.convertToFormat(QImage::Format_RGB32), source.normalized());
    }

    void arc(const Record& r, int kind) {
        const QRectF box = rect(r, 4);
        if (box.isEmpty()) return;
        const QPointF centre = box.center();
        const auto angle = [&](double x, double y) {
            return std::atan2(-(y - centre.y()) / box.height(), (x - centre.x()) / box.width()) *
                   180 / M_PI;
        };
        const double start = angle(r.s(3), r.s(2));
        double span = angle(r.s(1), r.s(0)) - start;
        if (span <= 0) span += 360;
        const int a = int(std::lround(start * 16)), s = int(std::lround(span * 16));
        if (kind == kArc)
            m_painter.drawArc(box, a, s);
        else if (kind == kPie)
            m_painter.drawPie(box, a, s);
        else
            m_painter.drawChord(box, a, s);
    }

    // A pen far wider than the picture covers it no more than a pen as wide,
    // but costs Qt's stroker time by its width: such pens are narrowed.
    void narrowPen() {
        QPen pen = m_painter.pen();
        const QTransform& t = m_painter.transform();
        const double scale = std::max(std::hypot(t.m11(), t.m12()), std::hypot(t.m21(), t.m22()));
        const double limit = 2.0 * std::max(m_size.width(), m_size.height());
        if (pen.style() == Qt::NoPen || pen.widthF() * scale <= limit || scale == 0) return;
        pen.setWidthF(limit / scale);
        m_painter.setPen(pen);
    }

    void playRecord(const Record& r) {
        narrowPen();
        switch (r.function) {
            case kSaveDc:
                m_painter.save();
                m_saved.push_back(m_state);
                break;
            case kRestoreDc: {
                // A negative count goes back that many saves, a positive one to that save.
                const int n = r.s(0);
                int count = n < 0 ? -n : int(m_saved.size()) - n + 1;
                while (count-- > 0 && !m_saved.isEmpty()) {
                    m_state = m_saved.takeLast();
                    m_painter.restore();
                }
                break;
            }
            case kSetRop2:
                m_state.composition = compositionOfRop2(r.u(0));
                m_painter.setCompositionMode(m_state.composition);
                break;
            case kSetBkMode:
                m_painter.setBackgroundMode(r.u(0) == 1 ? Qt::TransparentMode : Qt::OpaqueMode);
                break;
            case kSetBkColor:
                m_painter.setBackground(colour(r.u32(0)));
                break;
            case kSetTextColor:
                m_state.textColour = colour(r.u32(0));
                break;
            case kSetTextAlign:
                m_state.textAlign = r.u(0);
                break;
            case kSetPolyFillMode:
                m_state.fillRule = r.u(0) == 2 ? Qt::WindingFill : Qt::OddEvenFill;
                break;
            case kSetWindowOrg:
                m_state.windowOrigin = QPoint(r.s(1), r.s(0));
                applyWindow();
                break;
            case kOffsetWindowOrg:
                m_state.windowOrigin += QPoint(r.s(1), r.s(0));
                applyWindow();
                break;
            case kSetWindowExt:
                m_state.windowExtent = QSize(r.s(1), r.s(0));
                applyWindow();
                break;
            case kScaleWindowExt:
                if (r.s(2) != 0 && r.s(0) != 0) {
                    m_state.windowExtent = QSize(m_state.windowExtent.width() * r.s(3) / r.s(2),
                                                 m_state.windowExtent.height() * r.s(1) / r.s(0));
                    applyWindow();
                }
                break;
            case kMoveTo:
                m_state.position = QPointF(r.s(1), r.s(0));
                break;
            case kLineTo: {
                const QPointF to(r.s(1), r.s(0));
                m_painter.drawLine(m_state.position, to);
                m_state.position = to;
                break;
            }
            case kCreatePenIndirect:
                store(pen(r));
                break;
            case kCreateBrushIndirect:
                store(brush(r));
                break;
            case kCreateFontIndirect:
                store(font(r));
                break;
            case kDibCreatePatternBrush: {
                const QImage pattern = dibImage(r.tail(2));
                store(pattern.isNull() ? QBrush(Qt::NoBrush) : QBrush(pattern));
                break;
            }
            case kCreatePalette:
            case kCreatePatternBrush:
            case kCreateRegion:
                store(std::monostate{});
                break;
            case kSelectObject:
                select(r.u(0));
                break;
            case kDeleteObject:
                if (r.u(0) < m_objects.size()) m_objects[r.u(0)] = std::monostate{};
                break;
            case kRectangle:
                m_painter.drawRect(rect(r, 0));
                break;
            case kEllipse:
                m_painter.drawEllipse(rect(r, 0));
                break;
            case kRoundRect:
                m_painter.drawRoundedRect(rect(r, 2), std::abs(r.s(1)) / 2.0,
                                          std::abs(r.s(0)) / 2.0);
                break;
            case kArc:
            case kPie:
            case kChord:
                arc(r, r.function);
                break;
            case kSetPixel:
                m_painter.fillRect(QRectF(r.s(1), r.s(0), 1, 1), colour(r.u32(2)));
                break;
            case kPolygon:
                m_painter.drawPolygon(points(r, 1, r.u(0)), m_state.fillRule);
                break;
            case kPolyline:
                m_painter.drawPolyline(points(r, 1, r.u(0)));
                break;
            case kPolyPolygon: {
                QPainterPath path;
                path.setFillRule(m_state.fillRule);
                const qint64 polygons = r.u(0);
                qint64 at = 1 + polygons;
                for (qint64 k = 0; k < polygons; ++k) {
                    const QPolygonF polygon = points(r, at, r.u(1 + k));
                    path.addPolygon(polygon);
                    path.closeSubpath();
                    at += 2 * qint64(r.u(1 + k));
                }
                m_painter.drawPath(path);
                break;
            }
            case kTextOut: {
                const qint64 count = r.u(0), after = 1 + (count + 1) / 2;
                text(QPointF(r.s(after + 1), r.s(after)), r.tail(1).left(count), {});
                break;
            }
            case kExtTextOut: {
                const quint16 options = r.u(3);
                const bool hasRect = options & 0x0006;
                const QRectF box = QRectF(QPointF(r.s(4), r.s(5)), QPointF(r.s(6), r.s(7)));
                const qint64 count = r.u(2), first = hasRect ? 8 : 4;
                // Each character's advance follows the string, when the record holds them.
                QVector<double> advances;
                const qint64 dx = first + (count + 1) / 2;
                if (dx + count <= r.words)
                    for (qint64 k = 0; k < count; ++k) advances << r.s(dx + k);
                m_painter.save();
                m_painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
                if (hasRect && (options & 0x0002))  // ETO_OPAQUE
                    m_painter.fillRect(box.normalized(), m_painter.background());
                if (hasRect && (options & 0x0004))  // ETO_CLIPPED
                    m_painter.setClipRect(box.normalized(), m_painter.hasClipping()
                                                                ? Qt::IntersectClip
                                                                : Qt::ReplaceClip);
                text(QPointF(r.s(1), r.s(0)), r.tail(first).left(count), advances);
                m_painter.restore();
                break;
            }
            case kIntersectClipRect:
                m_painter.setClipRect(
                    rect(r, 0), m_painter.hasClipping() ? Qt::IntersectClip : Qt::ReplaceClip);
                break;
            case kPatBlt:
                transfer(QRectF(r.s(5), r.s(4), r.s(3), r.s(2)), r.u32(0));
                break;
            case kStretchDib:
                drawBitmap(r, 11, QRectF(r.s(6), r.s(5), r.s(4), r.s(3)),
                           QRectF(r.s(10), r.s(9), r.s(8), r.s(7)), r.u32(0));
                break;
            case kStretchBlt:
            case kDibStretchBlt:
                if (r.words == (r.function >> 8))  // no bitmap
                    transfer(QRectF(r.s(10), r.s(9), r.s(8), r.s(7)), r.u32(0));
                else
                    drawBitmap(r, 10, QRectF(r.s(5), r.s(4), r.s(3), r.s(2)),
                               QRectF(r.s(9), r.s(8), r.s(7), r.s(6)), r.u32(0));
                break;
            case kBitBlt:
            case kDibBitBlt:
                if (r.words == (r.function >> 8))  // no bitmap
                    transfer(QRectF(r.s(8), r.s(7), r.s(6), r.s(5)), r.u32(0));
                else
                    drawBitmap(r, 8, QRectF(r.s(3), r.s(2), r.s(5), r.s(4)),
                               QRectF(r.s(7), r.s(6), r.s(5), r.s(4)), r.u32(0));
                break;
            case kSetDiBitsToDevice:
                drawBitmap(r, 9, QRectF(r.s(4), r.s(3), r.s(6), r.s(5)),
                           QRectF(r.s(8), r.s(7), r.s(6), r.s(5)), 0x00CC0020);  // SRCCOPY
                break;
            default:
                break;  // palettes, regions, escapes and raster modes are not drawn
        }
    }

    const Walk& m_walk;
    QImage* m_image;
    QPainter m_painter;
    QSize m_size;
    QVector<Object> m_objects;
    DrawState m_state;
    QVector<DrawState> m_saved;
};

}  // namespace

bool looksLikeWmf(const QByteArray& bytes) {
    if (bytes.size() >= 4 && dword(bytes, 0) == kPlaceableKey) return true;
    if (bytes.size() < 6) return false;
    const quint16 type = word(bytes, 0), version = word(bytes, 4);
    return (type == 1 || type == 2) && word(bytes, 2) == 9 &&
           (version == 0x0100 || version == 0x0300);
}

QSize wmfPictureSize(const QByteArray& bytes, const QString& name, QString* error) {
    const Walk result = walk(bytes, name);
    if (!result.problem.isEmpty()) {
        *error = result.problem;
        return {};
    }
    return result.size;
}

QImage readWmfPicture(const QByteArray& bytes, const QString& name, QString* error) {
    const Walk checked = walk(bytes, name);
    if (!checked.problem.isEmpty()) {
        *error = checked.problem;
        return {};
    }
    QImage image(checked.size, QImage::Format_RGB32);
    if (image.isNull()) {
        *error = QStringLiteral("%1 is too large to draw (%2 x %3 pixels).")
                     .arg(name)
                     .arg(checked.size.width())
                     .arg(checked.size.height());
        return {};
    }
    image.fill(Qt::white);
    Player(checked, &image).play();
    return image;
}

}  // namespace velmora
