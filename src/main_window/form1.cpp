#include "form1.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QScrollBar>
#include <QShowEvent>
#include <QStyle>
#include <QWindow>
#include <algorithm>
#include <cmath>

#include "cursor_file.h"
#include "picture_box.h"
#include "picture_file.h"
#include "save_command.h"
#include "settings.h"
#include "user_dialogs.h"

namespace velmora {

bool StopRequested = false;

namespace {

constexpr int kTwipsPerPixel = 15;
constexpr int kClientWidth = 8040 / kTwipsPerPixel;   // 536
constexpr int kClientHeight = 11070 / kTwipsPerPixel; // 738
constexpr int kBarThickness = 12;
constexpr int kBigPictureLimit = 40000;  // 0.01 mm
constexpr double kHimetricPerPixel = 26.46;
constexpr int kReducedWidth = 487;
constexpr int kReducedHeight = 380;

const char kOpenFilter[] =
    "Supported Pictures (*.bmp;*.jpg;*.gif;*.png;*.ico;*.wmf)|*.bmp;*.jpg;*.gif;*.png;*.ico;"
    "*.wmf|All Files (*.*)|*.*";

QRect twips(int left, int top, int width, int height) {
    return QRect(left / kTwipsPerPixel, top / kTwipsPerPixel, width / kTwipsPerPixel,
                 height / kTwipsPerPixel);
}

// Scroll-bar values are 16-bit: anything outside overflows.
int toInt16(double value) {
    const double rounded = std::nearbyint(value);
    if (rounded < -32768 || rounded > 32767) fail(QStringLiteral("Overflow"));
    return int(rounded);
}

// Once the window has closed, a command that is still running shows nothing and
// every question is answered No.
class ClosedWindowDialogs : public UserDialogs {
public:
    ClosedWindowDialogs(std::unique_ptr<UserDialogs> inner, const bool* closed)
        : m_inner(std::move(inner)), m_closed(closed) {}
    void message(QWidget* parent, const QString& title, const QString& text) override {
        if (!*m_closed) m_inner->message(parent, title, text);
    }
    void errorReport(QWidget* parent, const QString& text) override {
        if (!*m_closed) m_inner->errorReport(parent, text);
    }
    bool ask(QWidget* parent, const QString& title, const QString& text) override {
        return !*m_closed && m_inner->ask(parent, title, text);
    }
    bool confirm(QWidget* parent, const QString& title, const QString& text) override {
        return !*m_closed && m_inner->confirm(parent, title, text);
    }
    QString saveFile(QWidget* parent, const QString& title, const QStringList& filters,
                     int* filterIndex) override {
        return *m_closed ? QString() : m_inner->saveFile(parent, title, filters, filterIndex);
    }
    QStringList openFiles(QWidget* parent, const QString& title, const QString& filter) override {
        return *m_closed ? QStringList() : m_inner->openFiles(parent, title, filter);
    }

private:
    std::unique_ptr<UserDialogs> m_inner;
    const bool* m_closed;
};

}  // namespace

QString appTitleFor(const QString& title) {
    QString result = title;
    do {
        const qsizetype space = result.lastIndexOf(QLatin1Char(' '));
        if (space < 0) break;
        result.truncate(space);
    } while (result.size() > 40);
    return result;
}

int himetricFromPixels(int pixels) { return int((qint64(pixels) * 2540 + 48) / 96); }

Form1::Form1(std::unique_ptr<UserDialogs> dialogs, std::unique_ptr<SettingsStore> settings,
             QString programFolder, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint),
      m_dialogs(std::move(dialogs)),
      m_settings(std::move(settings)),
      m_programFolder(std::move(programFolder)) {
    m_dialogs = std::make_unique<ClosedWindowDialogs>(std::move(m_dialogs), &m_closed);
    buildControls();
    Form_Load();
    setPointer(kPointerDefault);
}

void Form1::showEvent(QShowEvent* event) {
    // Opens centred on the screen, frame included, once its frame is known.
    if (!m_placed && !event->spontaneous()) {
        m_placed = true;
        if (const QScreen* screen = this->screen()) {
            const QRect frame = frameGeometry();
            move(pos() + screen->availableGeometry().center() - frame.center());
        }
    }
    QWidget::showEvent(event);
}

Form1::~Form1() = default;

QPushButton* Form1::makeButton(const char* name, const QString& caption, QWidget* parent,
                               int left, int top, int width, int height) {
    auto* button = new QPushButton(caption, parent);
    button->setObjectName(QLatin1String(name));
    QFont font(QStringLiteral("Arial"));
    font.setPointSizeF(11.25);
    font.setBold(true);
    button->setFont(font);
    button->setGeometry(twips(left, top, width, height));
    m_pushButtons.push_back(button);
    return button;
}

void Form1::buildControls() {
    setObjectName(QStringLiteral("Form1"));
    QFont font(QStringLiteral("Arial"), 9);
    font.setBold(true);
    setFont(font);
    setFixedSize(kClientWidth, kClientHeight);

    PushButton2 = makeButton("PushButton2", QStringLiteral("Help"), this, 120, 120, 3840, 405);
    PushButton4 = makeButton("PushButton4", QStringLiteral("Load Sample/Example Image"), this,
                             4080, 120, 3840, 405);
    PushButton1 =
        makeButton("PushButton1", QStringLiteral("Load Image File"), this, 120, 630, 6960, 405);
    PushButton6 = makeButton("PushButton6", QStringLiteral("?"), this, 7200, 630, 720, 405);

    PicScroll = new QWidget(this);
    PicScroll->setObjectName(QStringLiteral("PicScroll"));
    PicScroll->setGeometry(twips(120, 1170, 7800, 5775));
    PicScroll->setAutoFillBackground(true);
    QPalette viewPalette = PicScroll->palette();
    viewPalette.setColor(QPalette::Window, palette().color(QPalette::Base));
    PicScroll->setPalette(viewPalette);

    PicOrg = new PictureBox(PicScroll);
    PicOrg->setObjectName(QStringLiteral("PicOrg"));
    PicOrg->setToolTip(
        QStringLiteral("Drag and drop image here or click the 'Load Image File' button."));
    PicOrg->setBoxSize(7800 / kTwipsPerPixel, 5700 / kTwipsPerPixel);
    PicOrg->setPicture(QImage(QStringLiteral(":/velmora.png")).scaled(32, 32, Qt::IgnoreAspectRatio, Qt::SmoothTransformation));
    PicOrg->onFilesDropped = [this](const QList<QString>& files) { dropFiles(files); };
    PicOrg->onPress = [this](Qt::MouseButton b, QPointF at) { PicOrg_MouseDown(b, at); };
    PicOrg->onRelease = [this](Qt::MouseButton b, QPointF at) { PicOrg_MouseUp(b, at); };
    PicOrg->onMove = [this](QPointF at) { PicOrg_MouseMove(at); };
    PicOrg->onDoubleClick = [this] { finishSelection(); };

    // The scroll bars and the corner square start hidden, outside the view.
    HscrPic = new QScrollBar(Qt::Horizontal, PicScroll);
    HscrPic->setObjectName(QStringLiteral("HscrPic"));
    VscrPic = new QScrollBar(Qt::Vertical, PicScroll);
    VscrPic->setObjectName(QStringLiteral("VscrPic"));
    for (QScrollBar* bar : {HscrPic, VscrPic}) {
        bar->setMinimum(0);
        bar->setSingleStep(1);
        bar->setTracking(false);
        bar->hide();
        bar->setGeometry(-100, -100, kBarThickness, kBarThickness);
    }
    connect(HscrPic, &QScrollBar::valueChanged, this,
            [this](int value) { PicOrg->move(-value, PicOrg->y()); });
    connect(VscrPic, &QScrollBar::valueChanged, this,
            [this](int value) { PicOrg->move(PicOrg->x(), -value); });
    Frame5 = new QGroupBox(PicScroll);
    Frame5->setObjectName(QStringLiteral("Frame5"));
    Frame5->setFlat(true);
    Frame5->setAutoFillBackground(true);
    Frame5->setGeometry(-100, -100, kBarThickness, kBarThickness);
    Frame5->hide();

    Frame1 = new QGroupBox(QStringLiteral("Select Option"), this);
    Frame1->setObjectName(QStringLiteral("Frame1"));
    Frame1->setGeometry(twips(120, 7005, 7800, 720));
    Option2 = new QRadioButton(QStringLiteral("Box"), Frame1);
    Option2->setObjectName(QStringLiteral("Option2"));
    Option2->setGeometry(twips(300, 300, 675, 255));
    Option2->setChecked(true);
    Option1 = new QRadioButton(QStringLiteral("Polygon"), Frame1);
    Option1->setObjectName(QStringLiteral("Option1"));
    Option1->setGeometry(twips(2145, 300, 1065, 255));
    m_options = new QButtonGroup(this);
    m_options->addButton(Option2);
    m_options->addButton(Option1);
    connect(Option1, &QRadioButton::clicked, this, [this] { optionClicked(true); });
    connect(Option2, &QRadioButton::clicked, this, [this] { optionClicked(false); });
    PushButton11 = makeButton("PushButton11", QStringLiteral("?"), Frame1, 3240, 270, 480, 300);

    Frame3 = new QGroupBox(QStringLiteral("Block Size"), this);
    Frame3->setObjectName(QStringLiteral("Frame3"));
    Frame3->setGeometry(twips(120, 7800, 7800, 780));
    HScroll1 = new QScrollBar(Qt::Horizontal, Frame3);
    HScroll1->setObjectName(QStringLiteral("HScroll1"));
    HScroll1->setGeometry(twips(480, 300, 6405, 300));
    HScroll1->setRange(2, 32);
    HScroll1->setSingleStep(2);
    HScroll1->setPageStep(8);
    HScroll1->setValue(4);
    Label2 = new QLabel(QStringLiteral("4"), Frame3);
    Label2->setObjectName(QStringLiteral("Label2"));
    Label2->setAlignment(Qt::AlignCenter);
    Label2->setGeometry(twips(120, 330, 405, 300));
    PushButton8 = makeButton("PushButton8", QStringLiteral("?"), Frame3, 6960, 270, 480, 300);

    Frame4 = new QGroupBox(QStringLiteral("Scan Border"), this);
    Frame4->setObjectName(QStringLiteral("Frame4"));
    Frame4->setGeometry(twips(120, 8640, 7800, 780));
    HScroll2 = new QScrollBar(Qt::Horizontal, Frame4);
    HScroll2->setObjectName(QStringLiteral("HScroll2"));
    HScroll2->setGeometry(twips(480, 300, 6405, 300));
    HScroll2->setRange(10, 500);
    HScroll2->setSingleStep(2);
    HScroll2->setPageStep(10);
    HScroll2->setValue(10);
    Label4 = new QLabel(QStringLiteral("10"), Frame4);
    Label4->setObjectName(QStringLiteral("Label4"));
    Label4->setAlignment(Qt::AlignCenter);
    Label4->setGeometry(twips(120, 330, 405, 300));
    PushButton9 = makeButton("PushButton9", QStringLiteral("?"), Frame4, 6960, 270, 480, 300);

    PushButton3 =
        makeButton("PushButton3", QStringLiteral("Start Removing"), this, 120, 9540, 7200, 405);
    PushButton7 = makeButton("PushButton7", QStringLiteral("?"), this, 7440, 9540, 480, 405);
    PushButton12 =
        makeButton("PushButton12", QStringLiteral("Undo Remove"), this, 120, 10050, 7800, 405);
    PushButton12->setEnabled(false);
    PushButton5 = makeButton("PushButton5", QStringLiteral("Save Results As New Image File"),
                             this, 120, 10560, 7800, 405);

    // Lies below the fixed client area, so it is never visible.
    Frame2 = new QGroupBox(QStringLiteral("Show Preview"), this);
    Frame2->setObjectName(QStringLiteral("Frame2"));
    Frame2->setGeometry(twips(120, 11190, 2760, 780));
    ChkPrev = new QCheckBox(QStringLiteral("Preview"), Frame2);
    ChkPrev->setObjectName(QStringLiteral("ChkPrev"));
    ChkPrev->setGeometry(twips(240, 300, 1215, 255));
    ChkPrev->setChecked(true);

    picUndo = new PictureBox(this);
    picUndo->setObjectName(QStringLiteral("picUndo"));
    picUndo->setGeometry(twips(120, 11610, 7800, 5700));
    picUndo->hide();

    // The labels follow committed values only, not a dragged thumb.
    HScroll1->setTracking(false);
    HScroll2->setTracking(false);
    connect(HScroll1, &QScrollBar::valueChanged, this, [this](int value) {
        Label2->setText(QString::number(value));
        if (HScroll2->value() < 2 * value) HScroll2->setValue(2 * value);
    });
    connect(HScroll2, &QScrollBar::valueChanged, this,
            [this](int value) { Label4->setText(QString::number(value)); });

    const struct {
        QPushButton* button;
        const char* procedure;
        QString text;
    } helps[] = {
        {PushButton2, "PushButton2_Click",
         QStringLiteral("Questions? Please contact the Velmora support team at "
                        "https://velmora.app/contact")},
        {PushButton6, "PushButton6_Click",
         QStringLiteral("Click this button to select the image file (BMP, JPG, GIF, PNG) that "
                        "you would like to modify.\r\n\r\nAfter loading the image, click on the "
                        "image (with the crosshair cursor) and create a small box around the "
                        "object you would like to remove and then click 'Start Removing'.")},
        {PushButton11, "PushButton11_Click",
         QStringLiteral("This method will allow you to select a region around the object to "
                        "remove. Please remember to make your final click at your starting "
                        "position to make a ''complete'' shape.\r\n\r\nSingle-click to start "
                        "selecting.\r\nRight-click to reset/cancel.\r\nDouble-click to finish.")},
        {PushButton7, "PushButton7_Click",
         QStringLiteral("Create a small square around the part of the image you would like to "
                        "remove.\r\n\r\nThe smaller the box, the better the removal appears to "
                        "the eye. It may be best to use multiple boxes instead of one big "
                        "box.\r\n\r\nModifying the block size and scan border will change the "
                        "results as well.")},
        {PushButton8, "PushButton8_Click",
         QStringLiteral("Block Size defines the size of the blocks that are used to remove the "
                        "object inside the picture. Use the slider to adjust the size (Minimum "
                        "size is 2, Maximum size is 32. A smaller size is recommended for small "
                        "parts to be removed. A bigger size is used for bigger objects).")},
        {PushButton9, "PushButton9_Click",
         QStringLiteral("Scan Border defines the size of the area (green box) that is used to "
                        "definde the area of the object that needs to be removed. Use the slider "
                        "to adjust size.")},
    };
    for (const auto& help : helps) {
        connect(help.button, &QPushButton::clicked, this,
                [this, procedure = QString::fromLatin1(help.procedure), text = help.text] {
                    StepRunner run(procedure, [this](const QString& t) { reportError(t); });
                    run.step(100, [&] { message(text); });
                });
    }

    connect(PushButton1, &QPushButton::clicked, this, [this] { PushButton1_Click(); });
    connect(PushButton3, &QPushButton::clicked, this, [this] { PushButton3_Click(); });
    connect(PushButton12, &QPushButton::clicked, this, [this] { PushButton12_Click(); });
    connect(PushButton5, &QPushButton::clicked, this, [this] {
        SaveContext context;
        context.window = this;
        context.dialogs = m_dialogs.get();
        context.appTitle = m_appTitle;
        context.picture = [this] { return PicOrg->image(); };
        context.setPointer = [this](int value) { setPointer(value); };
        // Covers an outline under construction; the next pointer move draws it again.
        context.redraw = [this] { PicOrg->clearOverlay(); };
        context.reportError = [this](const QString& t) { reportError(t); };
        velmora::PushButton5_Click(context);
    });
    // The window sees key presses before its controls do. Installed once, here only:
    // each extra installation would handle every key press once more.
    qApp->installEventFilter(this);
    connect(PushButton4, &QPushButton::clicked, this, [this] { PushButton4_Click(); });
}

void Form1::Form_Load() {
    StepRunner run(QStringLiteral("Form_Load"), [this](const QString& t) { reportError(t); });
    run.step(100, [this] { ApplySkin(); });
    run.step(104, [this] {
        setWindowTitle(QStringLiteral("Velmora"));
        setWindowIcon(QIcon(QStringLiteral(":/velmora.png")));
        SetAppTitle();
    });
    const QString cursorPath = m_programFolder + QStringLiteral("/HAND-M.CUR");
    if (run.test(106, [&] { return PathExists(cursorPath); })) {
        run.step(108, [&] {
            QString error;
            const auto cursor = readCursorFile(cursorPath, &error);
            if (!cursor) fail(error);
            m_handCursor = *cursor;
            m_hasHandCursor = true;
        });
    }
    run.step(128, [this] {
        const bool polygon = booleanFromText(m_settings->value(QStringLiteral("Option1"), "0"));
        if (polygon) {
            Option1->setChecked(true);
            optionClicked(true);
        }
    });
    run.step(130, [this] {
        const bool box = booleanFromText(m_settings->value(QStringLiteral("Option2"), "1"));
        if (box) {
            Option2->setChecked(true);
            optionClicked(false);
        } else if (Option2->isChecked()) {
            m_options->setExclusive(false);
            Option2->setChecked(false);
            m_options->setExclusive(true);
        }
    });
    // Window coordinates are pixels throughout (step 132).
    if (run.test(134, [this] { return Option1->isChecked(); })) {
        run.step(138, [this] { SelMode = 0; });
        run.step(140, [this] { SelLastIndex = -1; });
        run.step(142, [this] { PicOrg->clearOverlay(); });
    } else {
        run.step(146, [this] { SelMode = 1; });
        run.step(148, [this] { SelLastIndex = -1; });
        run.step(150, [this] { PicOrg->clearOverlay(); });
    }
}

void Form1::ApplySkin() {
    const QFileInfo skin(m_programFolder + QStringLiteral("/x/o.cjs"));
    if (!skin.isFile()) return;
    const QColor buttonFace = QApplication::palette().color(QPalette::Button);
    auto paint = [&](QWidget* widget) {
        QPalette p = widget->palette();
        p.setColor(QPalette::Window, buttonFace);
        widget->setPalette(p);
        widget->setAutoFillBackground(true);
    };
    paint(this);
    for (QWidget* child : findChildren<QWidget*>()) {
        if (qobject_cast<QRadioButton*>(child) || qobject_cast<QCheckBox*>(child) ||
            qobject_cast<QGroupBox*>(child) || qobject_cast<QLabel*>(child)) {
            paint(child);
        }
    }
    // No skin component is shipped, so the skin file itself is not applied.
}

void Form1::SetAppTitle() {
    // Not made the application's display name: Qt would append it to every title.
    m_appTitle = appTitleFor(QStringLiteral("Velmora"));
}

void Form1::optionClicked(bool polygon) {
    m_settings->setValue(QStringLiteral("Option1"), booleanText(Option1->isChecked()));
    m_settings->setValue(QStringLiteral("Option2"), booleanText(Option2->isChecked()));
    SelMode = polygon ? 0 : 1;
    SelLastIndex = -1;
    PicOrg->clearOverlay();
}

// The push buttons carry the hand themselves, so it shows exactly while the pointer
// is over one; a running command's hourglass replaces it there and on the window.
void Form1::setPointer(int value) {
    m_pointer = value;
    const bool busy = value == kPointerHourglass;
    if (busy)
        setCursor(Qt::WaitCursor);
    else
        unsetCursor();
    const QCursor overButton = busy              ? QCursor(Qt::WaitCursor)
                               : m_hasHandCursor ? m_handCursor
                                                 : QCursor(Qt::ArrowCursor);
    for (QPushButton* button : m_pushButtons) button->setCursor(overButton);
}

bool Form1::eventFilter(QObject* watched, QEvent* event) {
    // Every key press meets the window's own native window first, once, whichever
    // control has the focus; an ignored key later passes each parent widget as well.
    if (event->type() == QEvent::KeyPress && watched == windowHandle() && windowHandle())
        handleKeyPress(static_cast<QKeyEvent*>(event));
    return QWidget::eventFilter(watched, event);
}

// A command still letting events run when the window closes finishes silently: the
// window is gone, so it shows nothing more. The last window closing ends the main loop.
void Form1::closeEvent(QCloseEvent* event) {
    StopRequested = true;
    m_closed = true;
    event->accept();
}

void Form1::reportError(const QString& text) { m_dialogs->errorReport(this, text); }

void Form1::message(const QString& text) { m_dialogs->message(this, m_appTitle, text); }

void Form1::PushButton1_Click() {
    StepRunner run(QStringLiteral("PushButton1_Click"),
                   [this](const QString& t) { reportError(t); });
    QStringList files;
    run.step(106, [&] {
        files = m_dialogs->openFiles(this, QStringLiteral("Select Picture files"),
                                     QLatin1String(kOpenFilter));
    });
    if (files.size() == 1) {
        LoadWorkPicture(files.front(), run, 114);
    } else if (files.size() > 1) {
        run.step(146, [this] { message(QStringLiteral("Please select 1 picture.")); });
    }
}

void Form1::PushButton4_Click() {
    StepRunner run(QStringLiteral("PushButton4_Click"),
                   [this](const QString& t) { reportError(t); });
    const QString path = m_programFolder + QStringLiteral("/Samples/sample.jpg");
    LoadWorkPicture(path, run, 102);
    run.step(130, [this] {
        message(QStringLiteral("Try removing the time/date stamp in the lower right hand corner."));
    });
}

void Form1::dropFiles(const QList<QString>& files) {
    if (files.isEmpty()) return;
    if (files.size() > 1) {
        message(QStringLiteral("Please select 1 picture."));
        return;
    }
    const QString& path = files.front();
    if (QFileInfo(path).isDir()) {
        message(QStringLiteral("Please select 1 picture."));
        return;
    }
    static const QStringList kExtensions = {"bmp", "jpg", "jpeg", "gif", "png", "ico", "wmf"};
    if (!kExtensions.contains(GetExtension(path).toLower())) {
        message(QStringLiteral("Please select picture."));
        return;
    }
    // A dropped file that cannot be read is reported like one from the dialog.
    StepRunner run(QStringLiteral("PicOrg_OLEDragDrop"),
                   [this](const QString& t) { reportError(t); });
    LoadWorkPicture(path, run, 114);
}

void Form1::LoadWorkPicture(const QString& path, StepRunner& run, int firstStep) {
    endRunningRemoval();
    int line = firstStep;
    QSize pictureSize;  // pixels of the file last read
    auto load = [&] {
        QString error;
        const QImage image = readPictureFile(path, &error);
        if (image.isNull()) fail(error);
        if (image.width() > 32767 || image.height() > 32767) {
            fail(QStringLiteral("The picture %1 is too large to show (%2 x %3 pixels).")
                     .arg(path)
                     .arg(image.width())
                     .arg(image.height()));
        }
        return image;
    };
    // A file that could not be read changes nothing: the later steps would act
    // on the picture already shown (asking about its size, even shrinking it).
    if (!run.step(line, [&] {
            const QImage image = load();
            pictureSize = image.size();
            PicOrg->setPicture(image);
            // The undo copy is of the picture just replaced; restoring it would lose this one.
            PushButton12->setEnabled(false);
        }))
        return;
    run.step(line += 2, [&] { PicOrg->setAutoSize(true); });
    run.step(line += 2, [&] { LoadedHeight = float(PicOrg->height()); });
    run.step(line += 2, [&] { LoadedWidth = float(PicOrg->width()); });
    const bool big = run.test(line += 2, [&] {
        const QSize size = PicOrg->picture().size();
        return himetricFromPixels(size.width()) > kBigPictureLimit ||
               himetricFromPixels(size.height()) > kBigPictureLimit;
    });
    line += 2;  // the question
    const bool reduce =
        big && m_dialogs->ask(this, QStringLiteral("Big Image File"),
                              QStringLiteral("This image file size is big.\r\rWould you like "
                                             "to reduce the quality of the image and then edit?"));
    if (reduce) {
        run.step(line += 2, [&] { PicOrg->setAutoSize(false); });
        run.step(line += 2, [&] { QCoreApplication::processEvents(); });
        run.step(line += 2, [&] { QCoreApplication::processEvents(); });
        run.step(line += 2, [&] { PicOrg->setBoxSize(PicOrg->width(), kReducedHeight); });
        run.step(line += 2, [&] { PicOrg->setBoxSize(kReducedWidth, PicOrg->height()); });
        QImage full;
        run.step(line += 2, [&] { full = load(); });
        run.step(line += 2, [&] {
            if (full.isNull()) fail(QStringLiteral("Invalid picture"));
            const double sourceWidth = himetricFromPixels(full.width()) / kHimetricPerPixel;
            const double sourceHeight = himetricFromPixels(full.height()) / kHimetricPerPixel;
            QPainter painter(&PicOrg->image());
            painter.setRenderHint(QPainter::SmoothPixmapTransform);
            painter.drawImage(QRectF(0, 0, PicOrg->width(), PicOrg->height()), full,
                              QRectF(0, 0, sourceWidth, sourceHeight));
            PicOrg->update();
        });
        run.step(line += 2, [&] { PicOrg->commitImage(); });
    } else {
        line += 16;
    }
    run.step(line += 2, [&] { ArrangeScrollBars(); });
}

void Form1::ArrangeScrollBars() {
    const int wp = PicOrg->width();
    const int hp = PicOrg->height();
    const int wv = PicScroll->width();
    const int hv = PicScroll->height();
    const bool across = wp > wv;
    const bool down = hp > hv;
    HscrPic->setVisible(across);
    VscrPic->setVisible(down);
    Frame5->setVisible(across || down);
    const float fwp = float(wp), fhp = float(hp), fwv = float(wv), fhv = float(hv);
    const int lx = int(std::nearbyint(fwp + 12 < fwv - 12 ? fwp : fwv - 12));
    const int ly = int(std::nearbyint(fhp + 12 < fhv - 12 ? fhp : fhv - 12));
    HscrPic->setGeometry(0, ly, lx, kBarThickness);
    VscrPic->setGeometry(lx, 0, kBarThickness, ly);
    // A negative maximum would drag the minimum below 0 with it and leave the
    // picture pushed off the view's corner; such a bar has nothing to scroll.
    HscrPic->setRange(0, std::max(0, toInt16(wp - HscrPic->width())));
    VscrPic->setRange(0, std::max(0, toInt16(hp - VscrPic->height())));
    HscrPic->setPageStep(toInt16(wp));
    VscrPic->setPageStep(toInt16(hp));
    Frame5->setGeometry(HscrPic->width(), VscrPic->height(), kBarThickness, kBarThickness);
    HscrPic->setValue(0);
    VscrPic->setValue(0);
    PicOrg->move(-HscrPic->value(), -VscrPic->value());
}

}  // namespace velmora
