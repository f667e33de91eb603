#pragma once

#include <QColor>
#include <QCursor>
#include <QPoint>
#include <QString>
#include <QVector>
#include <QWidget>
#include <memory>

#include "error_report.h"
#include "inpainting.h"

class QButtonGroup;
class QKeyEvent;
class QCheckBox;
class QGroupBox;
class QLabel;
class QPushButton;
class QRadioButton;
class QScrollBar;

namespace velmora {

class PictureBox;
class SettingsStore;
class UserDialogs;

// Window pointer values.
inline constexpr int kPointerDefault = 0;
inline constexpr int kPointerHourglass = 11;
inline constexpr int kPointerHand = 99;

// The colour of every mark and of the region the engine fills.
inline const QColor kMarkColour(0, 255, 0);

// The application title: title cut back at its last space, at least once,
// until it is at most 40 characters; a title without a space stays whole.
QString appTitleFor(const QString& title);

// A picture's size in 0.01 mm at 96 dots per inch, as the picture loader reports it.
int himetricFromPixels(int pixels);

// The program's one working window.
class MainWindow : public QWidget {
    Q_OBJECT
public:
    MainWindow(std::unique_ptr<UserDialogs> dialogs, std::unique_ptr<SettingsStore> settings,
               QString programFolder, QWidget* parent = nullptr);
    ~MainWindow() override;

    // Commands of the push buttons.
    void openPictureFile();
    void loadSample();
    // The shared load sequence; lineOffset moves its step numbers from the open
    // command's to the calling command's error report.
    void loadWorkPicture(const QString& path, StepRunner& run, int lineOffset);
    void arrangeScrollBars();
    void startOrStopRemoval();
    void undoRemoval();
    bool isRemoving() const { return m_run.running; }
    bool isStopRequested() const { return m_run.stopRequested; }
    // Handles a list of files dropped on the picture.
    void dropFiles(const QList<QString>& files);

    // Selection handlers of the working picture.
    void picturePressed(Qt::MouseButton button, QPointF at);
    void pictureReleased(Qt::MouseButton button, QPointF at);
    void pictureMoved(QPointF at);
    void finishSelection();

    const QString& appTitle() const { return m_appTitle; }
    int pointer() const { return m_pointer; }
    void setPointer(int value);
    int selectionMode() const { return m_selection.mode; }
    int selectionLastIndex() const { return m_selection.lastIndex; }
    float loadedWidth() const { return m_loadedWidth; }
    float loadedHeight() const { return m_loadedHeight; }
    PictureBox* workPicture() const { return m_workPicture; }
    bool hasHandCursor() const { return m_hasHandCursor; }

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildControls();
    void startUp();
    void applySkin();
    void setAppTitle();
    void optionClicked(bool polygon);
    void addSelectionPoint(QPointF at);
    InpaintResult runEngine();
    // Loading, pasting and undo end a running removal first, as a stop click would.
    void endRunningRemoval();
    void pasteFromClipboard();
    void copyToClipboard();
    bool handleKeyPress(QKeyEvent* event);
    void reportError(const QString& text);
    void message(const QString& text);
    QPushButton* makeButton(const char* name, const QString& caption, QWidget* parent, int left,
                            int top, int width, int height);

    std::unique_ptr<UserDialogs> m_dialogs;
    std::unique_ptr<SettingsStore> m_settings;
    QString m_programFolder;
    QString m_appTitle;
    int m_pointer = kPointerDefault;
    QCursor m_handCursor;
    bool m_hasHandCursor = false;
    QList<QPushButton*> m_pushButtons;
    bool m_closed = false;
    bool m_placed = false;

    // State shared by the window's commands.
    // The selection being drawn: mode 1 draws boxes, 0 polygons; points holds the
    // polygon's corners so far, up to lastIndex (-1: none).
    struct Selection {
        int mode = 1;
        int lastIndex = -1;
        QVector<QPoint> points;
    };
    Selection m_selection;
    float m_loadedWidth = 0;
    float m_loadedHeight = 0;
    QString m_removeCaption;
    // The removal run: whether it is running, whether a stop was asked for, and
    // whether it was abandoned for a new picture (its result is then dropped).
    struct RemovalRun {
        bool running = false;
        bool stopRequested = false;
        bool abandoned = false;
    };
    RemovalRun m_run;

    QPushButton* m_loadFileButton = nullptr;
    QPushButton* m_helpButton = nullptr;
    QPushButton* m_removeButton = nullptr;
    QPushButton* m_loadSampleButton = nullptr;
    QPushButton* m_saveButton = nullptr;
    QPushButton* m_loadFileHelpButton = nullptr;
    QPushButton* m_removeHelpButton = nullptr;
    QPushButton* m_blockSizeHelpButton = nullptr;
    QPushButton* m_scanBorderHelpButton = nullptr;
    QPushButton* m_selectionHelpButton = nullptr;
    QPushButton* m_undoButton = nullptr;
    QWidget* m_pictureView = nullptr;
    PictureBox* m_workPicture = nullptr;
    QScrollBar* m_verticalScrollBar = nullptr;
    QScrollBar* m_horizontalScrollBar = nullptr;
    QGroupBox* m_selectionBox = nullptr;
    QGroupBox* m_previewBox = nullptr;
    QGroupBox* m_blockSizeBox = nullptr;
    QGroupBox* m_scanBorderBox = nullptr;
    QGroupBox* m_scrollCorner = nullptr;
    QRadioButton* m_polygonOption = nullptr;
    QRadioButton* m_boxOption = nullptr;
    QButtonGroup* m_options = nullptr;
    QScrollBar* m_blockSizeSlider = nullptr;
    QScrollBar* m_scanBorderSlider = nullptr;
    QLabel* m_blockSizeLabel = nullptr;
    QLabel* m_scanBorderLabel = nullptr;
    QCheckBox* m_previewCheck = nullptr;
    PictureBox* m_undoPicture = nullptr;
};

}  // namespace velmora
