#include "main_window.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QClipboard>
#include <QCloseEvent>
#include <QColorSpace>
#include <QFile>
#include <QFileInfo>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QMimeData>
#include <QMoveEvent>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>
#include <QSaveFile>
#include <QScreen>
#include <QScrollBar>
#include <QShowEvent>
#include <QTextStream>
#include <QWindow>

#include "clipboard_picture.h"
#include "cursor_file.h"
#include "picture_box.h"
#include "picture_file.h"
#include "picture_view.h"
#include "removal_operation.h"
#include "save_command.h"
#include "settings.h"
#include "user_dialogs.h"

namespace velmora {

namespace {

// The layout is drawn in twips, 15 to a pixel at 96 dots per inch.
constexpr int kTwipsPerPixel = 15;
constexpr QSize kClientSize(8040 / kTwipsPerPixel, 11070 / kTwipsPerPixel);  // 536 x 738
constexpr int kBigPictureLimit = 40000;                                      // 0.01 mm
constexpr double kHimetricPerPixel = 26.46;
constexpr QSize kReducedSize(487, 380);  // a reduced picture fits inside, proportions kept
// The sample command's report numbers the load steps 12 lower than the open command's.
constexpr int kSampleLineOffset = -12;

// The settings that remember the selection mode, one per option.
constexpr char kPolygonSettingKey[] = "Option1";
constexpr char kBoxSettingKey[] = "Option2";

const char kOpenFilter[] =
    "Supported Pictures (*.bmp;*.jpg;*.jpeg;*.jpe;*.gif;*.png;*.ico;*.wmf;*.tif;*.tiff;*.webp;"
    "*.heic;*.heif)|*.bmp;*.jpg;*.jpeg;*.jpe;*.gif;*.png;*.ico;*.wmf;*.tif;*.tiff;*.webp;*.heic;"
    "*.heif|All Files (*.*)|*.*";

// When set, names a file that receives every control's place on the shown
// window, one "name left top width height" line each, for the end-to-end tests.
constexpr char kControlMapVariable[] = "VELMORA_CONTROL_MAP";

enum class Kind { Button, Frame, Option, Slider, Label, Check, View };

// One control of the window: its kind, object name, caption, the frame it sits
// in (none: the window) and its place in twips within that.
struct ControlPlace {
    Kind kind;
    const char* name;
    const char* caption;
    const char* frame;
    int left, top, width, height;
};

// In creation order, which is also the focus order.
constexpr ControlPlace kLayout[] = {
    {Kind::Button, "helpButton", "Help", nullptr, 120, 120, 3840, 405},
    {Kind::Button, "loadSampleButton", "Load Sample/Example Image", nullptr, 4080, 120, 3840, 405},
    {Kind::Button, "loadFileButton", "Load Image File", nullptr, 120, 630, 6960, 405},
    {Kind::Button, "loadFileHelpButton", "?", nullptr, 7200, 630, 720, 405},
    {Kind::View, "pictureView", "", nullptr, 120, 1170, 7800, 5775},
    {Kind::Frame, "selectionBox", "Select Option", nullptr, 120, 7005, 7800, 720},
    {Kind::Option, "boxOption", "Box", "selectionBox", 300, 300, 675, 255},
    {Kind::Option, "polygonOption", "Polygon", "selectionBox", 2145, 300, 1065, 255},
    {Kind::Button, "selectionHelpButton", "?", "selectionBox", 3240, 270, 480, 300},
    {Kind::Frame, "blockSizeBox", "Block Size", nullptr, 120, 7800, 7800, 780},
    {Kind::Slider, "blockSizeSlider", "", "blockSizeBox", 480, 300, 6405, 300},
    {Kind::Label, "blockSizeLabel", "4", "blockSizeBox", 120, 330, 405, 300},
    {Kind::Button, "blockSizeHelpButton", "?", "blockSizeBox", 6960, 270, 480, 300},
    {Kind::Frame, "scanBorderBox", "Scan Border", nullptr, 120, 8640, 7800, 780},
    {Kind::Slider, "scanBorderSlider", "", "scanBorderBox", 480, 300, 6405, 300},
    {Kind::Label, "scanBorderLabel", "10", "scanBorderBox", 120, 330, 405, 300},
    {Kind::Button, "scanBorderHelpButton", "?", "scanBorderBox", 6960, 270, 480, 300},
    {Kind::Button, "removeButton", "Start Removing", nullptr, 120, 9540, 7200, 405},
    {Kind::Button, "removeHelpButton", "?", nullptr, 7440, 9540, 480, 405},
    {Kind::Button, "undoButton", "Undo Remove", nullptr, 120, 10050, 7800, 405},
    {Kind::Button, "saveButton", "Save Results As New Image File", nullptr, 120, 10560, 7800, 405},
    // Lies below the fixed client area, so it is never visible.
    {Kind::Frame, "previewBox", "Show Preview", nullptr, 120, 11190, 2760, 780},
    {Kind::Check, "previewCheck", "Preview", "previewBox", 240, 300, 1215, 255},
};

// The help buttons: each shows its text under its own command's error report.
const struct HelpButton {
    const char* name;
    const char* accessibleName;  // what a screen reader says of a button that reads "?"
    Command command;
    const char* text;
} kHelpButtons[] = {
    {"helpButton", "Help: contacting support", Command::Help,
     "Questions? Please contact the Velmora support team at https://velmora.app/contact"},
    {"loadFileHelpButton", "Help on loading a picture", Command::LoadFileHelp,
     "Click this button to select the image file (BMP, JPG, GIF, PNG) that you would like to "
     "modify.\r\n\r\nAfter loading the image, click on the image (with the crosshair cursor) and "
     "create a small box around the object you would like to remove and then click 'Start "
     "Removing'."},
    {"selectionHelpButton", "Help on selecting a region", Command::SelectionHelp,
     "This method will allow you to select a region around the object to remove. Please "
     "remember to make your final click at your starting position to make a ''complete'' "
     "shape.\r\n\r\nSingle-click to start selecting.\r\nRight-click to reset/cancel.\r\n"
     "Double-click to finish."},
    {"removeHelpButton", "Help on removing", Command::RemoveHelp,
     "Create a small square around the part of the image you would like to remove.\r\n\r\nThe "
     "smaller the box, the better the removal appears to the eye. It may be best to use "
     "multiple boxes instead of one big box.\r\n\r\nModifying the block size and scan border "
     "will change the results as well."},
    {"blockSizeHelpButton", "Help on Block Size", Command::BlockSizeHelp,
     "Block Size defines the size of the blocks that are used to remove the object inside the "
     "picture. Use the slider to adjust the size (Minimum size is 2, Maximum size is 32. A "
     "smaller size is recommended for small parts to be removed. A bigger size is used for "
     "bigger objects)."},
    {"scanBorderHelpButton", "Help on Scan Border", Command::ScanBorderHelp,
     "Scan Border defines the size of the area (green box) that is used to definde the area of "
     "the object that needs to be removed. Use the slider to adjust size."},
};

QWidget* makeControl(const ControlPlace& place, QWidget* parent) {
    const QString caption = QString::fromLatin1(place.caption);
    QWidget* control = nullptr;
    switch (place.kind) {
        case Kind::Button: {
            control = new QPushButton(caption, parent);
            QFont font(QStringLiteral("Arial"));
            font.setPointSizeF(11.25);
            font.setBold(true);
            control->setFont(font);
            break;
        }
        case Kind::Frame:
            control = new QGroupBox(caption, parent);
            break;
        case Kind::Option:
            control = new QRadioButton(caption, parent);
            break;
        case Kind::Slider:
            control = new QScrollBar(Qt::Horizontal, parent);
            break;
        case Kind::Label:
            control = new QLabel(caption, parent);
            static_cast<QLabel*>(control)->setAlignment(Qt::AlignCenter);
            break;
        case Kind::Check:
            control = new QCheckBox(caption, parent);
            break;
        case Kind::View:
            control = new PictureView(parent);
            break;
    }
    control->setObjectName(QLatin1String(place.name));
    control->setGeometry(place.left / kTwipsPerPixel, place.top / kTwipsPerPixel,
                         place.width / kTwipsPerPixel, place.height / kTwipsPerPixel);
    return control;
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

// ---- building -------------------------------------------------------------

MainWindow::MainWindow(std::unique_ptr<UserDialogs> dialogs,
                       std::unique_ptr<SettingsStore> settings, QString programFolder,
                       QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint),
      m_dialogs(std::make_unique<ClosedWindowDialogs>(std::move(dialogs), &m_closed)),
      m_settings(std::move(settings)),
      m_programFolder(std::move(programFolder)) {
    buildControls();
    setUpSliders();
    m_selection = new SelectionTool(workPicture(), this);
    m_removal = new RemovalOperation(workPicture(), this);
    connectControls();
    connectHelpButtons();
    // The window sees key presses before its controls do. Installed once, here only:
    // each extra installation would handle every key press once more.
    qApp->installEventFilter(this);
    // Placed before start-up, so that a report it makes is centred on the window.
    placeOnScreen();
    startUp();
    setPointer(Pointer::Default);
}

void MainWindow::moveEvent(QMoveEvent* event) {
    // The window manager adds its frame after the window is first shown: centre
    // again with it, but leave a window the user moved where it was put.
    if (m_placed && frameGeometry().size() != m_placedFrameSize) placeOnScreen();
    QWidget::moveEvent(event);
}

// Centred on the screen, frame included, with the title bar on screen even
// where the frame is taller than the screen's free area.
void MainWindow::placeOnScreen() {
    const QScreen* screen = this->screen();
    if (!screen) return;
    const QRect available = screen->availableGeometry();
    const QRect frame = frameGeometry();
    QPoint topLeft = available.center() - QPoint((frame.width() - 1) / 2, (frame.height() - 1) / 2);
    topLeft.setX(
        std::max(available.left(), std::min(topLeft.x(), available.right() + 1 - frame.width())));
    topLeft.setY(
        std::max(available.top(), std::min(topLeft.y(), available.bottom() + 1 - frame.height())));
    m_placedFrameSize = frame.size();
    move(topLeft);
}

MainWindow::~MainWindow() = default;

PictureBox* MainWindow::workPicture() const { return m_view->picture(); }

void MainWindow::buildControls() {
    setObjectName(QStringLiteral("mainWindow"));
    QFont font(QStringLiteral("Arial"), 9);
    font.setBold(true);
    setFont(font);
    setFixedSize(kClientSize);
    for (const ControlPlace& place : kLayout) {
        QWidget* parent = place.frame ? findChild<QWidget*>(QLatin1String(place.frame)) : this;
        QWidget* control = makeControl(place, parent);
        if (auto* button = qobject_cast<QPushButton*>(control)) m_pushButtons << button;
    }
    m_view = findChild<PictureView*>(QStringLiteral("pictureView"));
    m_loadFileButton = findChild<QPushButton*>(QStringLiteral("loadFileButton"));
    m_loadSampleButton = findChild<QPushButton*>(QStringLiteral("loadSampleButton"));
    m_removeButton = findChild<QPushButton*>(QStringLiteral("removeButton"));
    m_undoButton = findChild<QPushButton*>(QStringLiteral("undoButton"));
    m_saveButton = findChild<QPushButton*>(QStringLiteral("saveButton"));
    m_polygonOption = findChild<QRadioButton*>(QStringLiteral("polygonOption"));
    m_boxOption = findChild<QRadioButton*>(QStringLiteral("boxOption"));
    m_blockSizeSlider = findChild<QScrollBar*>(QStringLiteral("blockSizeSlider"));
    m_scanBorderSlider = findChild<QScrollBar*>(QStringLiteral("scanBorderSlider"));
    m_blockSizeLabel = findChild<QLabel*>(QStringLiteral("blockSizeLabel"));
    m_scanBorderLabel = findChild<QLabel*>(QStringLiteral("scanBorderLabel"));
    m_previewCheck = findChild<QCheckBox*>(QStringLiteral("previewCheck"));

    m_boxOption->setChecked(true);
    m_options = new QButtonGroup(this);
    m_options->addButton(m_boxOption);
    m_options->addButton(m_polygonOption);
    m_previewCheck->setChecked(true);
    // Out of sight below the client area, so it must not take the focus either.
    m_previewCheck->setFocusPolicy(Qt::NoFocus);
    workPicture()->setPicture(QImage(QStringLiteral(":/velmora.png"))
                                  .scaled(32, 32, Qt::IgnoreAspectRatio, Qt::SmoothTransformation));
}

void MainWindow::setUpSliders() {
    m_blockSizeSlider->setRange(2, 32);
    m_blockSizeSlider->setSingleStep(2);
    m_blockSizeSlider->setPageStep(8);
    m_blockSizeSlider->setValue(4);
    m_scanBorderSlider->setRange(10, 500);
    m_scanBorderSlider->setSingleStep(2);
    m_scanBorderSlider->setPageStep(10);
    m_scanBorderSlider->setValue(10);
    // The labels follow committed values only, not a dragged thumb.
    m_blockSizeSlider->setTracking(false);
    m_scanBorderSlider->setTracking(false);
    // Tab stops, set with the arrow and Page keys; each value label names its slider.
    const struct {
        QScrollBar* slider;
        QLabel* label;
        const char* name;
    } sliders[] = {{m_blockSizeSlider, m_blockSizeLabel, "Block Size"},
                   {m_scanBorderSlider, m_scanBorderLabel, "Scan Border"}};
    for (const auto& each : sliders) {
        each.slider->setFocusPolicy(Qt::StrongFocus);
        // A scroll bar's keys run backwards by default: Right and Page Up must raise the value.
        each.slider->setInvertedControls(false);
        each.slider->setAccessibleName(QLatin1String(each.name));
        each.label->setBuddy(each.slider);
        // Room for three digits and half a digit each side in whatever font stands
        // in for Arial, clear of the slider, which gives up the width at its left end.
        const QRect label = each.label->geometry();
        const int needed = each.label->fontMetrics().horizontalAdvance(QStringLiteral("5000"));
        each.label->setGeometry(label.adjusted(0, 0, needed - label.width(), 0));
        const QRect slider = each.slider->geometry();
        const int left = std::max(slider.left(), label.left() + needed);
        each.slider->setGeometry(slider.adjusted(left - slider.left(), 0, 0, 0));
    }
    connect(m_blockSizeSlider, &QScrollBar::valueChanged, this, [this](int value) {
        m_blockSizeLabel->setText(QString::number(value));
        // The search margin is never less than a block across.
        if (m_scanBorderSlider->value() < 2 * value) m_scanBorderSlider->setValue(2 * value);
    });
    connect(m_scanBorderSlider, &QScrollBar::valueChanged, this,
            [this](int value) { m_scanBorderLabel->setText(QString::number(value)); });
}

void MainWindow::connectControls() {
    PictureBox* picture = workPicture();
    connect(picture, &PictureBox::filesDropped, this, &MainWindow::dropFiles);
    connect(picture, &PictureBox::pressed, m_selection, &SelectionTool::press);
    connect(picture, &PictureBox::released, m_selection, &SelectionTool::release);
    connect(picture, &PictureBox::moved, m_selection, &SelectionTool::move);
    connect(picture, &PictureBox::doubleClicked, m_selection, &SelectionTool::finish);
    connect(m_polygonOption, &QRadioButton::clicked, this,
            [this] { selectionModeClicked(SelectionMode::Polygon); });
    connect(m_boxOption, &QRadioButton::clicked, this,
            [this] { selectionModeClicked(SelectionMode::Box); });
    connect(m_removal, &RemovalOperation::stateChanged, this, &MainWindow::updateControls);
    connect(m_loadFileButton, &QPushButton::clicked, this, &MainWindow::openPictureFile);
    connect(m_loadSampleButton, &QPushButton::clicked, this, &MainWindow::loadSample);
    connect(m_removeButton, &QPushButton::clicked, this, &MainWindow::startOrStopRemoval);
    connect(m_undoButton, &QPushButton::clicked, this, &MainWindow::undoRemoval);
    connect(m_saveButton, &QPushButton::clicked, this, &MainWindow::saveResults);
    updateControls();
}

void MainWindow::connectHelpButtons() {
    for (const HelpButton& help : kHelpButtons) {
        auto* button = findChild<QPushButton*>(QLatin1String(help.name));
        button->setAccessibleName(QLatin1String(help.accessibleName));
        connect(button, &QPushButton::clicked, this, [this, help] {
            StepRunner run = command(help.command);
            run.step(100, [&] { message(QString::fromLatin1(help.text)); });
        });
    }
}

// The one place where the controls follow the window's state.
void MainWindow::updateControls() {
    m_removeButton->setText(m_removal->offersStop() ? QStringLiteral("Stop")
                                                    : QStringLiteral("Start Removing"));
    m_undoButton->setEnabled(m_removal->canUndo());
}

// ---- start-up, pointer, keys and closing ------------------------------------

void MainWindow::startUp() {
    StepRunner run = command(Command::StartUp);
    run.step(100, [this] { applySkin(); });
    run.step(104, [this] {
        setWindowTitle(QStringLiteral("Velmora"));
        setWindowIcon(QIcon(QStringLiteral(":/velmora.png")));
        // Not made the application's display name: Qt would append it to every title.
        m_appTitle = appTitleFor(QStringLiteral("Velmora"));
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
    restoreSelectionMode(run);
}

// Steps 128 and 130 read the two stored options as clicks on them; steps 134 to
// 150 then start the selection afresh in the mode shown.
void MainWindow::restoreSelectionMode(StepRunner& run) {
    run.step(128, [this] {
        if (booleanFromText(m_settings->value(QLatin1String(kPolygonSettingKey), "0"))) {
            m_polygonOption->setChecked(true);
            selectionModeClicked(SelectionMode::Polygon);
        }
    });
    run.step(130, [this] {
        if (booleanFromText(m_settings->value(QLatin1String(kBoxSettingKey), "1"))) {
            m_boxOption->setChecked(true);
            selectionModeClicked(SelectionMode::Box);
        } else if (m_boxOption->isChecked()) {
            m_options->setExclusive(false);
            m_boxOption->setChecked(false);
            m_options->setExclusive(true);
        }
    });
    if (run.test(134, [this] { return m_polygonOption->isChecked(); }))
        run.step(138, [this] { m_selection->setMode(SelectionMode::Polygon); });
    else
        run.step(146, [this] { m_selection->setMode(SelectionMode::Box); });
}

// There is no skin engine to read the skin file, so a skin present gives the
// window and its frames, options and labels only the button-face background.
void MainWindow::applySkin() {
    if (!QFileInfo(m_programFolder + QStringLiteral("/x/o.cjs")).isFile()) return;
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
}

void MainWindow::selectionModeClicked(SelectionMode mode) {
    m_settings->setValue(QLatin1String(kPolygonSettingKey),
                         booleanText(m_polygonOption->isChecked()));
    m_settings->setValue(QLatin1String(kBoxSettingKey), booleanText(m_boxOption->isChecked()));
    m_selection->setMode(mode);
}

// The push buttons carry the hand themselves, so it shows exactly while the pointer
// is over one; a running command's hourglass replaces it there and on the window.
void MainWindow::setPointer(Pointer pointer) {
    m_pointer = pointer;
    const bool busy = pointer == Pointer::Hourglass;
    if (busy)
        setCursor(Qt::WaitCursor);
    else
        unsetCursor();
    const QCursor overButton = busy              ? QCursor(Qt::WaitCursor)
                               : m_hasHandCursor ? m_handCursor
                                                 : QCursor(Qt::ArrowCursor);
    for (QPushButton* button : m_pushButtons) button->setCursor(overButton);
}

void MainWindow::showEvent(QShowEvent* event) {
    if (!m_placed && !event->spontaneous()) {
        m_placed = true;
        placeOnScreen();
        const QString mapPath = qEnvironmentVariable(kControlMapVariable);
        if (!mapPath.isEmpty()) writeControlMap(mapPath);
    }
    QWidget::showEvent(event);
}

// Places are in pixels from the window's client area, hidden controls included.
void MainWindow::writeControlMap(const QString& path) const {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text)) return;
    QTextStream out(&file);
    out << objectName() << ' ' << 0 << ' ' << 0 << ' ' << width() << ' ' << height() << '\n';
    for (const QWidget* control : findChildren<QWidget*>()) {
        if (control->objectName().isEmpty() || control->isWindow()) continue;
        const QPoint at = control->mapTo(this, QPoint(0, 0));
        out << control->objectName() << ' ' << at.x() << ' ' << at.y() << ' ' << control->width()
            << ' ' << control->height() << '\n';
    }
    out.flush();
    file.commit();
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
    // Every key press meets the window's own native window first, once, whichever
    // control has the focus; an ignored key later passes each parent widget as well.
    if (event->type() == QEvent::KeyPress && watched == windowHandle() && windowHandle())
        handleKeyPress(static_cast<QKeyEvent*>(event));
    return QWidget::eventFilter(watched, event);
}

// The key goes on to the focused control as well.
void MainWindow::handleKeyPress(QKeyEvent* event) {
    if (event->matches(QKeySequence::Paste))
        pasteFromClipboard();
    else if (event->matches(QKeySequence::Copy))
        copyToClipboard();
    else if (event->modifiers() & Qt::ControlModifier)
        zoomByKey(event->key());
    else if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) &&
             !event->isAutoRepeat())
        clickFocusedButton();
}

// Enter, like Space, presses the push button that has the focus.
void MainWindow::clickFocusedButton() {
    auto* button = qobject_cast<QPushButton*>(QApplication::focusWidget());
    if (button && button->window() == this && button->isEnabled()) button->click();
}

// Ctrl+0 fits the picture in the view, Ctrl+1 shows it at full size, Ctrl+Plus
// (or Ctrl+=, the same key unshifted) and Ctrl+Minus step about the view's centre.
void MainWindow::zoomByKey(int key) {
    switch (key) {
        case Qt::Key_0:
            m_view->fitToView();
            break;
        case Qt::Key_1:
            m_view->showOneToOne(m_view->centre());
            break;
        case Qt::Key_Plus:
        case Qt::Key_Equal:
            m_view->stepZoom(1, m_view->centre());
            break;
        case Qt::Key_Minus:
            m_view->stepZoom(-1, m_view->centre());
            break;
        default:
            break;
    }
}

// A command still letting events run when the window closes finishes silently: the
// window is gone, so it shows nothing more. The last window closing ends the main loop.
void MainWindow::closeEvent(QCloseEvent* event) {
    m_removal->requestStop();
    m_closed = true;
    event->accept();
}

StepRunner MainWindow::command(Command which) {
    return StepRunner(which, [this](const QString& text) { reportError(text); });
}

void MainWindow::reportError(const QString& text) { m_dialogs->errorReport(this, text); }

void MainWindow::message(const QString& text) { m_dialogs->message(this, m_appTitle, text); }

// ---- loading ----------------------------------------------------------------

void MainWindow::openPictureFile() {
    StepRunner run = command(Command::OpenPictureFile);
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
    StepRunner run = command(Command::LoadSample);
    const QString path = m_programFolder + QStringLiteral("/Samples/sample.jpg");
    loadWorkPicture(path, run, kSampleLineOffset);
    run.step(130, [this] {
        message(QStringLiteral("Try removing the time/date stamp in the lower right hand corner."));
    });
}

void MainWindow::dropFiles(const QStringList& files) {
    if (files.isEmpty()) return;
    if (files.size() > 1 || QFileInfo(files.front()).isDir()) {
        message(QStringLiteral("Please select 1 picture."));
        return;
    }
    const QString& path = files.front();
    if (!looksLikePictureFile(path)) {
        message(QStringLiteral("Please select picture."));
        return;
    }
    // A dropped file that cannot be read is reported like one from the dialog.
    StepRunner run = command(Command::DropFile);
    loadWorkPicture(path, run, 0);
}

namespace {

// The busy pointer everywhere, the picture included, while it lives.
class BusyPointer {
public:
    BusyPointer() { QGuiApplication::setOverrideCursor(Qt::WaitCursor); }
    ~BusyPointer() { QGuiApplication::restoreOverrideCursor(); }
    BusyPointer(const BusyPointer&) = delete;
    BusyPointer& operator=(const BusyPointer&) = delete;
};

QImage readShownPicture(const QString& path) {
    QString error;
    QImage image;
    {
        // A camera photo takes a good part of a second to decode.
        const BusyPointer busy;
        image = readPictureFile(path, &error);
    }
    if (image.isNull()) fail(error);
    if (image.width() > kMaxPictureSide || image.height() > kMaxPictureSide) {
        fail(QStringLiteral("The picture %1 is too large to show (%2 x %3 pixels).")
                 .arg(path)
                 .arg(image.width())
                 .arg(image.height()));
    }
    return image;
}

// What the file says about itself, to keep on save; a file whose metadata
// cannot be read still loads, and is saved without it.
convert::PictureMetadata pictureFileMetadata(const QString& path) {
    convert::PictureMetadata metadata;
    convert::readMetadata(QFile::encodeName(path).toStdString(), &metadata);
    return metadata;
}

}  // namespace

// The steps' numbers are the open command's; other callers' differ by lineOffset.
void MainWindow::loadWorkPicture(const QString& path, StepRunner& run, int lineOffset) {
    endRunningRemoval();
    const auto line = [lineOffset](int number) { return number + lineOffset; };
    PictureBox* picture = workPicture();
    QImage loaded;  // shares its pixels with the committed picture
    // A file that could not be read changes nothing: the later steps would act
    // on the picture already shown (asking about its size, even shrinking it).
    if (!run.step(line(114), [&] {
            loaded = readShownPicture(path);
            picture->setZoom(Zoom());  // every picture arrives at full size
            picture->setPicture(loaded);
            m_pictureMetadata = pictureFileMetadata(path);
            QColorSpace space = loaded.colorSpace();
            if (!space.isValid() && !m_pictureMetadata.icc.empty())
                space =
                    QColorSpace::fromIccProfile(QByteArray::fromStdString(m_pictureMetadata.icc));
            picture->setColorSpace(space);
            // The undo copy is of the picture just replaced; restoring it would lose this one.
            m_removal->forgetUndo();
        }))
        return;
    run.step(line(116), [&] { picture->setAutoSize(true); });
    // Steps 118 and 120 recorded the size just loaded, which nothing reads.
    const bool big = run.test(line(122), [&] {
        const QSize size = picture->picture().size();
        return himetricFromPixels(size.width()) > kBigPictureLimit ||
               himetricFromPixels(size.height()) > kBigPictureLimit;
    });
    // Step 124: the question.
    if (big && m_dialogs->ask(this, QStringLiteral("Big Image File"),
                              QStringLiteral("This image file size is big.\r\rWould you like "
                                             "to reduce the quality of the image and then edit?")))
        shrinkBigPicture(loaded, run, lineOffset);
    run.step(line(142), [&] { m_view->arrangeScrollBars(); });
}

// Draws the whole picture just read into a box that fits inside the reduced
// size with the picture's own proportions: squeezed into 487 x 380 exactly, a
// phone's portrait would come out stretched sideways.
void MainWindow::shrinkBigPicture(const QImage& loaded, StepRunner& run, int lineOffset) {
    const auto line = [lineOffset](int number) { return number + lineOffset; };
    PictureBox* picture = workPicture();
    const QSize fitted =
        picture->picture().size().scaled(kReducedSize, Qt::KeepAspectRatio).expandedTo({1, 1});
    run.step(line(126), [&] { picture->setAutoSize(false); });
    run.step(line(128), [&] { QCoreApplication::processEvents(); });
    run.step(line(130), [&] { QCoreApplication::processEvents(); });
    run.step(line(132), [&] { picture->setBoxSize(picture->width(), fitted.height()); });
    run.step(line(134), [&] { picture->setBoxSize(fitted.width(), picture->height()); });
    QImage full;
    // Decoding the file again would give the same pixels, a second time.
    run.step(line(136), [&] { full = loaded; });
    run.step(line(138), [&] {
        if (full.isNull()) fail(QStringLiteral("Invalid picture"));
        const double sourceWidth = himetricFromPixels(full.width()) / kHimetricPerPixel;
        const double sourceHeight = himetricFromPixels(full.height()) / kHimetricPerPixel;
        QPainter painter(&picture->image());
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        painter.drawImage(QRectF(0, 0, picture->width(), picture->height()), full,
                          QRectF(0, 0, sourceWidth, sourceHeight));
        picture->update();
    });
    run.step(line(140), [&] { picture->commitImage(); });
}

// ---- removal, undo, clipboard and saving --------------------------------------

void MainWindow::endRunningRemoval() {
    if (m_removal->abandon()) setPointer(Pointer::Default);
}

void MainWindow::startOrStopRemoval() {
    StepRunner run = command(Command::StartOrStopRemoval);
    if (run.test(100, [this] { return m_removal->offersStop(); })) {
        run.step(122, [this] { m_removal->withdrawStop(); });
        run.step(124, [this] { setPointer(Pointer::Default); });
        run.step(126, [this] { m_removal->requestStop(); });
        return;
    }
    run.step(104, [this] { m_removal->offerStop(); });
    run.step(106, [this] { setPointer(Pointer::Hourglass); });
    run.step(110, [this] { m_removal->keepForUndo(workPicture()->picture()); });
    runRemoval(run);
}

// Steps 114 to 120: the engine call and what follows it.
void MainWindow::runRemoval(StepRunner& run) {
    InpaintResult result;
    run.step(114, [&] {
        // "Stop" shows at once, not first at the engine's first yield.
        m_removeButton->repaint();
        InpaintOptions options;
        options.mask = {0, 255, 0};
        options.preview = m_previewCheck->isChecked();
        options.radius = m_blockSizeSlider->value();
        options.scanBorder = m_scanBorderSlider->value();
        result = m_removal->run(options);
        // The engine's own failures belong to the step that called it.
        if (result.status == InpaintStatus::OutOfMemory ||
            result.status == InpaintStatus::InvalidInput) {
            const std::string reason = result.message;
            result = InpaintResult{};
            fail(QString::fromStdString(reason));
        }
    });
    run.step(116, [this] { setPointer(Pointer::Default); });
    run.step(118, [this] { m_removal->withdrawStop(); });
    run.step(120, [&] {
        if (result.steps > 0) {
            message(QStringLiteral("Done."));
        } else if (result.status == InpaintStatus::NoSourceArea) {
            message(
                QStringLiteral("Nothing was removed: no unmarked part of the picture is "
                               "large enough to copy from. A smaller Block Size may help."));
        }
    });
}

void MainWindow::undoRemoval() {
    endRunningRemoval();
    StepRunner run = command(Command::UndoRemoval);
    run.step(100, [this] { workPicture()->setPicture(m_removal->undoPicture()); });
    run.step(102, [this] { m_removal->forgetUndo(); });
}

void MainWindow::pasteFromClipboard() {
    const QMimeData* data = QApplication::clipboard()->mimeData();
    if (!data) return;
    QString error;
    const QImage image = clipboardPicture(*data, &error);
    if (image.isNull()) {
        if (!error.isEmpty()) message(error);  // nothing said when no picture is offered
        return;
    }
    endRunningRemoval();
    StepRunner run = command(Command::KeyPress);
    run.step(100, [&] {
        if (image.width() > kMaxPictureSide || image.height() > kMaxPictureSide)
            fail(QStringLiteral("The picture on the clipboard is too large (%1 x %2 pixels).")
                     .arg(image.width())
                     .arg(image.height()));
        workPicture()->setZoom(Zoom());
        workPicture()->setPicture(image);
        // A pasted picture comes with nothing to keep, and is shown as its values say.
        workPicture()->setColorSpace(QColorSpace());
        m_pictureMetadata = {};
        m_removal->forgetUndo();  // the undo copy is of the replaced picture
    });
    run.step(102, [this] { m_view->arrangeScrollBars(); });
}

void MainWindow::copyToClipboard() {
    QClipboard* clipboard = QApplication::clipboard();
    clipboard->clear();
    clipboard->setImage(workPicture()->image());
}

void MainWindow::saveResults() {
    SaveContext context;
    context.window = this;
    context.dialogs = m_dialogs.get();
    context.appTitle = m_appTitle;
    context.picture = [this] { return workPicture()->image(); };
    context.metadata = m_pictureMetadata;
    // The save command asks for the hourglass with 11 and gives it back with 0.
    context.setPointer = [this](int value) {
        setPointer(value == 0 ? Pointer::Default : Pointer::Hourglass);
    };
    // Covers an outline under construction; the next pointer move draws it again.
    context.redraw = [this] { workPicture()->clearOverlay(); };
    context.reportError = [this](const QString& text) { reportError(text); };
    velmora::saveResults(context);
}

}  // namespace velmora
