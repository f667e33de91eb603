#pragma once

#include <QCursor>
#include <QImage>
#include <QString>
#include <QWidget>
#include <memory>

#include "error_report.h"
#include "metadata.h"
#include "removal_operation.h"
#include "selection_tool.h"

class QButtonGroup;
class QCheckBox;
class QKeyEvent;
class QLabel;
class QPushButton;
class QRadioButton;
class QScrollBar;

namespace velmora {

class PictureBox;
class PictureView;
class SettingsStore;
class UserDialogs;

// The window's pointer: the default arrow (the hand over push buttons), or the
// hourglass everywhere while a removal or a save runs.
enum class Pointer { Default, Hourglass };

// The application title: title cut back at its last space, at least once,
// until it is at most 40 characters; a title without a space stays whole.
QString appTitleFor(const QString& title);

// A picture's size in 0.01 mm at 96 dots per inch, as the picture loader reports it.
int himetricFromPixels(int pixels);

// The program's one working window: it builds the controls, loads pictures into
// the view, hands pointer input to the selection tool and runs the removal
// operation and the save command, enabling its controls from their state.
class MainWindow : public QWidget {
    Q_OBJECT
public:
    MainWindow(std::unique_ptr<UserDialogs> dialogs, std::unique_ptr<SettingsStore> settings,
               QString programFolder, QWidget* parent = nullptr);
    ~MainWindow() override;

    // Loads the one picture file dropped (or named at start-up); anything else
    // is refused with a message.
    void dropFiles(const QStringList& files);

    const QString& appTitle() const { return m_appTitle; }
    Pointer pointer() const { return m_pointer; }
    void setPointer(Pointer pointer);
    bool hasHandCursor() const { return m_hasHandCursor; }
    PictureBox* workPicture() const;
    SelectionTool& selection() const { return *m_selection; }
    const RemovalOperation& removal() const { return *m_removal; }

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildControls();
    void setUpSliders();
    void connectControls();
    void connectHelpButtons();
    void updateControls();
    void placeOnScreen();
    void startUp();
    void restoreSelectionMode(StepRunner& run);
    void applySkin();
    void selectionModeClicked(SelectionMode mode);

    void openPictureFile();
    void loadSample();
    void loadWorkPicture(const QString& path, StepRunner& run, int lineOffset);
    void shrinkBigPicture(const QImage& loaded, StepRunner& run, int lineOffset);
    void startOrStopRemoval();
    void runRemoval(StepRunner& run);
    void undoRemoval();
    // Loading, pasting and undo end a running removal first, as a stop click would.
    void endRunningRemoval();
    void saveResults();
    void pasteFromClipboard();
    void copyToClipboard();
    void handleKeyPress(QKeyEvent* event);
    void zoomByKey(int key);
    void clickFocusedButton();

    StepRunner command(Command which);
    void reportError(const QString& text);
    void message(const QString& text);
    void writeControlMap(const QString& path) const;

    std::unique_ptr<UserDialogs> m_dialogs;
    std::unique_ptr<SettingsStore> m_settings;
    QString m_programFolder;
    QString m_appTitle;
    Pointer m_pointer = Pointer::Default;
    QCursor m_handCursor;
    bool m_hasHandCursor = false;
    bool m_closed = false;
    bool m_placed = false;
    QSize m_placedFrameSize;

    PictureView* m_view = nullptr;
    SelectionTool* m_selection = nullptr;
    RemovalOperation* m_removal = nullptr;

    QList<QPushButton*> m_pushButtons;
    QPushButton* m_loadFileButton = nullptr;
    QPushButton* m_loadSampleButton = nullptr;
    QPushButton* m_removeButton = nullptr;
    QPushButton* m_undoButton = nullptr;
    QPushButton* m_saveButton = nullptr;
    QRadioButton* m_polygonOption = nullptr;
    QRadioButton* m_boxOption = nullptr;
    QButtonGroup* m_options = nullptr;
    QScrollBar* m_blockSizeSlider = nullptr;
    QScrollBar* m_scanBorderSlider = nullptr;
    QLabel* m_blockSizeLabel = nullptr;
    QLabel* m_scanBorderLabel = nullptr;
    QCheckBox* m_previewCheck = nullptr;
    // The EXIF, XMP and colour profile of the file the picture was loaded from.
    convert::PictureMetadata m_pictureMetadata;
};

}  // namespace velmora
