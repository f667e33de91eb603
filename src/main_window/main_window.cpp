#include "main_window.h"

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

namespace {

constexpr int kTwipsPerPixel = 15;
constexpr int kClientWidth = 8040 / kTwipsPerPixel;    // 536
constexpr int kClientHeight = 11070 / kTwipsPerPixel;  // 738
constexpr int kBarThickness = 12;
constexpr int kBigPictureLimit = 40000;  // 0.01 mm
constexpr double kHimetricPerPixel = 26.46;
constexpr int kReducedWidth = 487;
constexpr int kReducedHeight = 380;
// The sample command's report numbers the load steps 12 lower than the open command's.
constexpr int kSampleLineOffset = -12;

// The settings that remember the selection mode, one per option.
constexpr char kPolygonSettingKey[] = "Option1";
constexpr char kBoxSettingKey[] = "Option2";

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

MainWindow::MainWindow(std::unique_ptr<UserDialogs> dialogs,
                       std::unique_ptr<SettingsStore> settings, QString programFolder,
                       QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint),
      m_dialogs(std::move(dialogs)),
      m_settings(std::move(settings)),
      m_programFolder(std::move(programFolder)) {
    m_dialogs = std::make_unique<ClosedWindowDialogs>(std::move(m_dialogs), &m_closed);
    buildControls();
    // The window sees key presses before its controls do. Installed once, here only:
    // each extra installation would handle every key press once more. Pointer input
    // reaches the window through the work picture's own handlers (buildControls).
    qApp->installEventFilter(this);
    startUp();
    setPointer(kPointerDefault);
}

void MainWindow::showEvent(QShowEvent* event) {
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

MainWindow::~MainWindow() = default;

QPushButton* MainWindow::makeButton(const char* name, const QString& caption, QWidget* parent,
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

void MainWindow::buildControls() {
    setObjectName(QStringLiteral("Form1"));
    QFont font(QStringLiteral("Arial"), 9);
    font.setBold(true);
    setFont(font);
    setFixedSize(kClientWidth, kClientHeight);

    m_helpButton = makeButton("PushButton2", QStringLiteral("Help"), this, 120, 120, 3840, 405);
    m_loadSampleButton = makeButton("PushButton4", QStringLiteral("Load Sample/Example Image"),
                                    this, 4080, 120, 3840, 405);
    m_loadFileButton =
        makeButton("PushButton1", QStringLiteral("Load Image File"), this, 120, 630, 6960, 405);
    m_loadFileHelpButton =
        makeButton("PushButton6", QStringLiteral("?"), this, 7200, 630, 720, 405);

    m_pictureView = new QWidget(this);
    m_pictureView->setObjectName(QStringLiteral("PicScroll"));
    m_pictureView->setGeometry(twips(120, 1170, 7800, 5775));
    m_pictureView->setAutoFillBackground(true);
    QPalette viewPalette = m_pictureView->palette();
    viewPalette.setColor(QPalette::Window, palette().color(QPalette::Base));
    m_pictureView->setPalette(viewPalette);

    m_workPicture = new PictureBox(m_pictureView);
    m_workPicture->setObjectName(QStringLiteral("PicOrg"));
    m_workPicture->setToolTip(
        QStringLiteral("Drag and drop image here or click the 'Load Image File' button."));
    m_workPicture->setBoxSize(7800 / kTwipsPerPixel, 5700 / kTwipsPerPixel);
    m_workPicture->setPicture(QImage(QStringLiteral(":/velmora.png"))
                                  .scaled(32, 32, Qt::IgnoreAspectRatio, Qt::SmoothTransformation));
    m_workPicture->onFilesDropped = [this](const QList<QString>& files) { dropFiles(files); };
    m_workPicture->onPress = [this](Qt::MouseButton b, QPointF at) { picturePressed(b, at); };
    m_workPicture->onRelease = [this](Qt::MouseButton b, QPointF at) { pictureReleased(b, at); };
    m_workPicture->onMove = [this](QPointF at) { pictureMoved(at); };
    m_workPicture->onDoubleClick = [this] { finishSelection(); };

    // The scroll bars and the corner square start hidden, outside the view.
    m_horizontalScrollBar = new QScrollBar(Qt::Horizontal, m_pictureView);
    m_horizontalScrollBar->setObjectName(QStringLiteral("HscrPic"));
    m_verticalScrollBar = new QScrollBar(Qt::Vertical, m_pictureView);
    m_verticalScrollBar->setObjectName(QStringLiteral("VscrPic"));
    for (QScrollBar* bar : {m_horizontalScrollBar, m_verticalScrollBar}) {
        bar->setMinimum(0);
        bar->setSingleStep(1);
        bar->setTracking(false);
        bar->hide();
        bar->setGeometry(-100, -100, kBarThickness, kBarThickness);
    }
    connect(m_horizontalScrollBar, &QScrollBar::valueChanged, this,
            [this](int value) { m_workPicture->move(-value, m_workPicture->y()); });
    connect(m_verticalScrollBar, &QScrollBar::valueChanged, this,
            [this](int value) { m_workPicture->move(m_workPicture->x(), -value); });
    m_scrollCorner = new QGroupBox(m_pictureView);
    m_scrollCorner->setObjectName(QStringLiteral("Frame5"));
    m_scrollCorner->setFlat(true);
    m_scrollCorner->setAutoFillBackground(true);
    m_scrollCorner->setGeometry(-100, -100, kBarThickness, kBarThickness);
    m_scrollCorner->hide();

    m_selectionBox = new QGroupBox(QStringLiteral("Select Option"), this);
    m_selectionBox->setObjectName(QStringLiteral("Frame1"));
    m_selectionBox->setGeometry(twips(120, 7005, 7800, 720));
    m_boxOption = new QRadioButton(QStringLiteral("Box"), m_selectionBox);
    m_boxOption->setObjectName(QStringLiteral("Option2"));
    m_boxOption->setGeometry(twips(300, 300, 675, 255));
    m_boxOption->setChecked(true);
    m_polygonOption = new QRadioButton(QStringLiteral("Polygon"), m_selectionBox);
    m_polygonOption->setObjectName(QStringLiteral("Option1"));
    m_polygonOption->setGeometry(twips(2145, 300, 1065, 255));
    m_options = new QButtonGroup(this);
    m_options->addButton(m_boxOption);
    m_options->addButton(m_polygonOption);
    connect(m_polygonOption, &QRadioButton::clicked, this, [this] { optionClicked(true); });
    connect(m_boxOption, &QRadioButton::clicked, this, [this] { optionClicked(false); });
    m_selectionHelpButton =
        makeButton("PushButton11", QStringLiteral("?"), m_selectionBox, 3240, 270, 480, 300);

    m_blockSizeBox = new QGroupBox(QStringLiteral("Block Size"), this);
    m_blockSizeBox->setObjectName(QStringLiteral("Frame3"));
    m_blockSizeBox->setGeometry(twips(120, 7800, 7800, 780));
    m_blockSizeSlider = new QScrollBar(Qt::Horizontal, m_blockSizeBox);
    m_blockSizeSlider->setObjectName(QStringLiteral("HScroll1"));
    m_blockSizeSlider->setGeometry(twips(480, 300, 6405, 300));
    m_blockSizeSlider->setRange(2, 32);
    m_blockSizeSlider->setSingleStep(2);
    m_blockSizeSlider->setPageStep(8);
    m_blockSizeSlider->setValue(4);
    m_blockSizeLabel = new QLabel(QStringLiteral("4"), m_blockSizeBox);
    m_blockSizeLabel->setObjectName(QStringLiteral("Label2"));
    m_blockSizeLabel->setAlignment(Qt::AlignCenter);
    m_blockSizeLabel->setGeometry(twips(120, 330, 405, 300));
    m_blockSizeHelpButton =
        makeButton("PushButton8", QStringLiteral("?"), m_blockSizeBox, 6960, 270, 480, 300);

    m_scanBorderBox = new QGroupBox(QStringLiteral("Scan Border"), this);
    m_scanBorderBox->setObjectName(QStringLiteral("Frame4"));
    m_scanBorderBox->setGeometry(twips(120, 8640, 7800, 780));
    m_scanBorderSlider = new QScrollBar(Qt::Horizontal, m_scanBorderBox);
    m_scanBorderSlider->setObjectName(QStringLiteral("HScroll2"));
    m_scanBorderSlider->setGeometry(twips(480, 300, 6405, 300));
    m_scanBorderSlider->setRange(10, 500);
    m_scanBorderSlider->setSingleStep(2);
    m_scanBorderSlider->setPageStep(10);
    m_scanBorderSlider->setValue(10);
    m_scanBorderLabel = new QLabel(QStringLiteral("10"), m_scanBorderBox);
    m_scanBorderLabel->setObjectName(QStringLiteral("Label4"));
    m_scanBorderLabel->setAlignment(Qt::AlignCenter);
    m_scanBorderLabel->setGeometry(twips(120, 330, 405, 300));
    m_scanBorderHelpButton =
        makeButton("PushButton9", QStringLiteral("?"), m_scanBorderBox, 6960, 270, 480, 300);

    m_removeButton =
        makeButton("PushButton3", QStringLiteral("Start Removing"), this, 120, 9540, 7200, 405);
    m_removeHelpButton = makeButton("PushButton7", QStringLiteral("?"), this, 7440, 9540, 480, 405);
    m_undoButton =
        makeButton("PushButton12", QStringLiteral("Undo Remove"), this, 120, 10050, 7800, 405);
    m_undoButton->setEnabled(false);
    m_saveButton = makeButton("PushButton5", QStringLiteral("Save Results As New Image File"), this,
                              120, 10560, 7800, 405);

    // Lies below the fixed client area, so it is never visible.
    m_previewBox = new QGroupBox(QStringLiteral("Show Preview"), this);
    m_previewBox->setObjectName(QStringLiteral("Frame2"));
    m_previewBox->setGeometry(twips(120, 11190, 2760, 780));
    m_previewCheck = new QCheckBox(QStringLiteral("Preview"), m_previewBox);
    m_previewCheck->setObjectName(QStringLiteral("ChkPrev"));
    m_previewCheck->setGeometry(twips(240, 300, 1215, 255));
    m_previewCheck->setChecked(true);

    m_undoPicture = new PictureBox(this);
    m_undoPicture->setObjectName(QStringLiteral("picUndo"));
    m_undoPicture->setGeometry(twips(120, 11610, 7800, 5700));
    m_undoPicture->hide();

    // The labels follow committed values only, not a dragged thumb.
    m_blockSizeSlider->setTracking(false);
    m_scanBorderSlider->setTracking(false);
    connect(m_blockSizeSlider, &QScrollBar::valueChanged, this, [this](int value) {
        m_blockSizeLabel->setText(QString::number(value));
        if (m_scanBorderSlider->value() < 2 * value) m_scanBorderSlider->setValue(2 * value);
    });
    connect(m_scanBorderSlider, &QScrollBar::valueChanged, this,
            [this](int value) { m_scanBorderLabel->setText(QString::number(value)); });

    const struct {
        QPushButton* button;
        Command command;
        QString text;
    } helps[] = {
        {m_helpButton, Command::Help,
         QStringLiteral("Questions? Please contact the Velmora support team at "
                        "https://velmora.app/contact")},
        {m_loadFileHelpButton, Command::LoadFileHelp,
         QStringLiteral("Click this button to select the image file (BMP, JPG, GIF, PNG) that "
                        "you would like to modify.\r\n\r\nAfter loading the image, click on the "
                        "image (with the crosshair cursor) and create a small box around the "
                        "object you would like to remove and then click 'Start Removing'.")},
        {m_selectionHelpButton, Command::SelectionHelp,
         QStringLiteral("This method will allow you to select a region around the object to "
                        "remove. Please remember to make your final click at your starting "
                        "position to make a ''complete'' shape.\r\n\r\nSingle-click to start "
                        "selecting.\r\nRight-click to reset/cancel.\r\nDouble-click to finish.")},
        {m_removeHelpButton, Command::RemoveHelp,
         QStringLiteral("Create a small square around the part of the image you would like to "
                        "remove.\r\n\r\nThe smaller the box, the better the removal appears to "
                        "the eye. It may be best to use multiple boxes instead of one big "
                        "box.\r\n\r\nModifying the block size and scan border will change the "
                        "results as well.")},
        {m_blockSizeHelpButton, Command::BlockSizeHelp,
         QStringLiteral("Block Size defines the size of the blocks that are used to remove the "
                        "object inside the picture. Use the slider to adjust the size (Minimum "
                        "size is 2, Maximum size is 32. A smaller size is recommended for small "
                        "parts to be removed. A bigger size is used for bigger objects).")},
        {m_scanBorderHelpButton, Command::ScanBorderHelp,
         QStringLiteral("Scan Border defines the size of the area (green box) that is used to "
                        "definde the area of the object that needs to be removed. Use the slider "
                        "to adjust size.")},
    };
    for (const auto& help : helps) {
        connect(help.button, &QPushButton::clicked, this,
                [this, command = help.command, text = help.text] {
                    StepRunner run(command, [this](const QString& t) { reportError(t); });
                    run.step(100, [&] { message(text); });
                });
    }

    connect(m_loadFileButton, &QPushButton::clicked, this, [this] { openPictureFile(); });
    connect(m_removeButton, &QPushButton::clicked, this, [this] { startOrStopRemoval(); });
    connect(m_undoButton, &QPushButton::clicked, this, [this] { undoRemoval(); });
    connect(m_saveButton, &QPushButton::clicked, this, [this] {
        SaveContext context;
        context.window = this;
        context.dialogs = m_dialogs.get();
        context.appTitle = m_appTitle;
        context.picture = [this] { return m_workPicture->image(); };
        context.setPointer = [this](int value) { setPointer(value); };
        // Covers an outline under construction; the next pointer move draws it again.
        context.redraw = [this] { m_workPicture->clearOverlay(); };
        context.reportError = [this](const QString& t) { reportError(t); };
        velmora::saveResults(context);
    });
    connect(m_loadSampleButton, &QPushButton::clicked, this, [this] { loadSample(); });
}

void MainWindow::startUp() {
    StepRunner run(Command::StartUp, [this](const QString& t) { reportError(t); });
    run.step(100, [this] { applySkin(); });
    run.step(104, [this] {
        setWindowTitle(QStringLiteral("Velmora"));
        setWindowIcon(QIcon(QStringLiteral(":/velmora.png")));
        setAppTitle();
    });
    const QString cursorPath = m_programFolder + QStringLiteral("/HAND-M.CUR");
    if (run.test(106, [&] { return pathExists(cursorPath); })) {
        run.step(108, [&] {
            QString error;
            const auto cursor = readCursorFile(cursorPath, &error);
            if (!cursor) fail(error);
            m_handCursor = *cursor;
            m_hasHandCursor = true;
        });
    }
    run.step(128, [this] {
        const bool polygon =
            booleanFromText(m_settings->value(QLatin1String(kPolygonSettingKey), "0"));
        if (polygon) {
            m_polygonOption->setChecked(true);
            optionClicked(true);
        }
    });
    run.step(130, [this] {
        const bool box = booleanFromText(m_settings->value(QLatin1String(kBoxSettingKey), "1"));
        if (box) {
            m_boxOption->setChecked(true);
            optionClicked(false);
        } else if (m_boxOption->isChecked()) {
            m_options->setExclusive(false);
            m_boxOption->setChecked(false);
            m_options->setExclusive(true);
        }
    });
    // Window coordinates are pixels throughout (step 132).
    if (run.test(134, [this] { return m_polygonOption->isChecked(); })) {
        run.step(138, [this] { m_selection.mode = 0; });
        run.step(140, [this] { m_selection.lastIndex = -1; });
        run.step(142, [this] { m_workPicture->clearOverlay(); });
    } else {
        run.step(146, [this] { m_selection.mode = 1; });
        run.step(148, [this] { m_selection.lastIndex = -1; });
        run.step(150, [this] { m_workPicture->clearOverlay(); });
    }
}

void MainWindow::applySkin() {
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

void MainWindow::setAppTitle() {
    // Not made the application's display name: Qt would append it to every title.
    m_appTitle = appTitleFor(QStringLiteral("Velmora"));
}

void MainWindow::optionClicked(bool polygon) {
    m_settings->setValue(QLatin1String(kPolygonSettingKey),
                         booleanText(m_polygonOption->isChecked()));
    m_settings->setValue(QLatin1String(kBoxSettingKey), booleanText(m_boxOption->isChecked()));
    m_selection.mode = polygon ? 0 : 1;
    m_selection.lastIndex = -1;
    m_workPicture->clearOverlay();
}

// The push buttons carry the hand themselves, so it shows exactly while the pointer
// is over one; a running command's hourglass replaces it there and on the window.
void MainWindow::setPointer(int value) {
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

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
    // Every key press meets the window's own native window first, once, whichever
    // control has the focus; an ignored key later passes each parent widget as well.
    if (event->type() == QEvent::KeyPress && watched == windowHandle() && windowHandle())
        handleKeyPress(static_cast<QKeyEvent*>(event));
    return QWidget::eventFilter(watched, event);
}

// A command still letting events run when the window closes finishes silently: the
// window is gone, so it shows nothing more. The last window closing ends the main loop.
void MainWindow::closeEvent(QCloseEvent* event) {
    m_run.stopRequested = true;
    m_closed = true;
    event->accept();
}

void MainWindow::reportError(const QString& text) { m_dialogs->errorReport(this, text); }

void MainWindow::message(const QString& text) { m_dialogs->message(this, m_appTitle, text); }

void MainWindow::openPictureFile() {
    StepRunner run(Command::OpenPictureFile, [this](const QString& t) { reportError(t); });
    QStringList files;
    run.step(106, [&] {
        files = m_dialogs->openFiles(this, QStringLiteral("Select Picture files"),
                                     QLatin1String(kOpenFilter));
    });
    if (files.size() == 1) {
        loadWorkPicture(files.front(), run, 0);
    } else if (files.size() > 1) {
        run.step(146, [this] { message(QStringLiteral("Please select 1 picture.")); });
    }
}

void MainWindow::loadSample() {
    StepRunner run(Command::LoadSample, [this](const QString& t) { reportError(t); });
    const QString path = m_programFolder + QStringLiteral("/Samples/sample.jpg");
    loadWorkPicture(path, run, kSampleLineOffset);
    run.step(130, [this] {
        message(QStringLiteral("Try removing the time/date stamp in the lower right hand corner."));
    });
}

void MainWindow::dropFiles(const QList<QString>& files) {
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
    if (!kExtensions.contains(fileExtension(path).toLower())) {
        message(QStringLiteral("Please select picture."));
        return;
    }
    // A dropped file that cannot be read is reported like one from the dialog.
    StepRunner run(Command::DropFile, [this](const QString& t) { reportError(t); });
    loadWorkPicture(path, run, 0);
}

void MainWindow::loadWorkPicture(const QString& path, StepRunner& run, int lineOffset) {
    endRunningRemoval();
    // The steps' numbers in the open command's report; other callers' differ by lineOffset.
    const auto line = [lineOffset](int number) { return number + lineOffset; };
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
    if (!run.step(line(114), [&] {
            const QImage image = load();
            pictureSize = image.size();
            m_workPicture->setPicture(image);
            // The undo copy is of the picture just replaced; restoring it would lose this one.
            m_undoButton->setEnabled(false);
        }))
        return;
    run.step(line(116), [&] { m_workPicture->setAutoSize(true); });
    run.step(line(118), [&] { m_loadedHeight = float(m_workPicture->height()); });
    run.step(line(120), [&] { m_loadedWidth = float(m_workPicture->width()); });
    const bool big = run.test(line(122), [&] {
        const QSize size = m_workPicture->picture().size();
        return himetricFromPixels(size.width()) > kBigPictureLimit ||
               himetricFromPixels(size.height()) > kBigPictureLimit;
    });
    // Step 124: the question.
    const bool reduce =
        big && m_dialogs->ask(this, QStringLiteral("Big Image File"),
                              QStringLiteral("This image file size is big.\r\rWould you like "
                                             "to reduce the quality of the image and then edit?"));
    if (reduce) {
        run.step(line(126), [&] { m_workPicture->setAutoSize(false); });
        run.step(line(128), [&] { QCoreApplication::processEvents(); });
        run.step(line(130), [&] { QCoreApplication::processEvents(); });
        run.step(line(132),
                 [&] { m_workPicture->setBoxSize(m_workPicture->width(), kReducedHeight); });
        run.step(line(134),
                 [&] { m_workPicture->setBoxSize(kReducedWidth, m_workPicture->height()); });
        QImage full;
        run.step(line(136), [&] { full = load(); });
        run.step(line(138), [&] {
            if (full.isNull()) fail(QStringLiteral("Invalid picture"));
            const double sourceWidth = himetricFromPixels(full.width()) / kHimetricPerPixel;
            const double sourceHeight = himetricFromPixels(full.height()) / kHimetricPerPixel;
            QPainter painter(&m_workPicture->image());
            painter.setRenderHint(QPainter::SmoothPixmapTransform);
            painter.drawImage(QRectF(0, 0, m_workPicture->width(), m_workPicture->height()), full,
                              QRectF(0, 0, sourceWidth, sourceHeight));
            m_workPicture->update();
        });
        run.step(line(140), [&] { m_workPicture->commitImage(); });
    }
    run.step(line(142), [&] { arrangeScrollBars(); });
}

void MainWindow::arrangeScrollBars() {
    const int wp = m_workPicture->width();
    const int hp = m_workPicture->height();
    const int wv = m_pictureView->width();
    const int hv = m_pictureView->height();
    const bool across = wp > wv;
    const bool down = hp > hv;
    m_horizontalScrollBar->setVisible(across);
    m_verticalScrollBar->setVisible(down);
    m_scrollCorner->setVisible(across || down);
    const float fwp = float(wp), fhp = float(hp), fwv = float(wv), fhv = float(hv);
    const int lx = int(std::nearbyint(fwp + 12 < fwv - 12 ? fwp : fwv - 12));
    const int ly = int(std::nearbyint(fhp + 12 < fhv - 12 ? fhp : fhv - 12));
    m_horizontalScrollBar->setGeometry(0, ly, lx, kBarThickness);
    m_verticalScrollBar->setGeometry(lx, 0, kBarThickness, ly);
    // A negative maximum would drag the minimum below 0 with it and leave the
    // picture pushed off the view's corner; such a bar has nothing to scroll.
    m_horizontalScrollBar->setRange(0, std::max(0, toInt16(wp - m_horizontalScrollBar->width())));
    m_verticalScrollBar->setRange(0, std::max(0, toInt16(hp - m_verticalScrollBar->height())));
    m_horizontalScrollBar->setPageStep(toInt16(wp));
    m_verticalScrollBar->setPageStep(toInt16(hp));
    m_scrollCorner->setGeometry(m_horizontalScrollBar->width(), m_verticalScrollBar->height(),
                                kBarThickness, kBarThickness);
    m_horizontalScrollBar->setValue(0);
    m_verticalScrollBar->setValue(0);
    m_workPicture->move(-m_horizontalScrollBar->value(), -m_verticalScrollBar->value());
}

}  // namespace velmora
