// icon_sizes: writes the program icon at the usual sizes of the hicolor icon
// theme, as OUT/NxN/apps/NAME.png, for the installed menu entry.
//   usage: icon_sizes ICON.png OUT NAME

#include <QDir>
#include <QImage>
#include <QPainter>
#include <algorithm>
#include <cstdio>

int main(int argc, char* argv[]) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: icon_sizes ICON.png OUT NAME\n");
        return 2;
    }
    const QString source = QString::fromLocal8Bit(argv[1]);
    const QImage icon(source);
    if (icon.isNull()) {
        std::fprintf(stderr, "icon_sizes: error: cannot read %s\n", argv[1]);
        return 1;
    }
    // Menus ask for the small sizes whatever the art; larger ones only as far as
    // the art goes, since enlarging adds nothing a desktop cannot do itself.
    const int kAlwaysUpTo = 64;
    const int largest = std::max(icon.width(), icon.height());
    for (int size : {16, 22, 24, 32, 48, 64, 128, 256, 512}) {
        if (size > kAlwaysUpTo && size > largest) break;
        QImage square(size, size, QImage::Format_ARGB32_Premultiplied);
        square.fill(Qt::transparent);
        const QImage scaled =
            icon.scaled(size, size, Qt::KeepAspectRatio, Qt::SmoothTransformation);
        QPainter(&square).drawImage((size - scaled.width()) / 2, (size - scaled.height()) / 2,
                                    scaled);
        const QString folder =
            QStringLiteral("%1/%2x%2/apps").arg(QString::fromLocal8Bit(argv[2])).arg(size);
        const QString file =
            folder + QStringLiteral("/%1.png").arg(QString::fromLocal8Bit(argv[3]));
        if (!QDir().mkpath(folder) || !square.save(file)) {
            std::fprintf(stderr, "icon_sizes: error: cannot write %s\n", qPrintable(file));
            return 1;
        }
    }
    return 0;
}
