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
inline constexpr int kPointerCustom = 99;

// The colour of every mark and of the region the engine fills.
inline const QColor MarkColour(0, 255, 0);

// Program-wide request to end a running removal.
extern bool StopRequested;

// The application title: title cut back at its last space, at least once,
// until it is at most 40 characters; a title without a space stays whole.
QString appTitleFor(const QString& title);

// A picture's size in 0.01 mm at 96 dots per inch, as the picture loader reports it.
int himetricFromPixels(int pixels);

// The program's one working window.
class Form1 : public QWidget {
    Q_OBJECT
public:
    Form1(std::unique_ptr<UserDialogs> dialogs, std::unique_ptr<SettingsStore> settings,
          QString programFolder, QWidget* parent = nullptr);
    ~Form1() override;

    // Commands of the push buttons.
    void PushButton1_Click();
    void PushButton4_Click();
    // The shared load sequence; firstStep is the number of its first step
    // in the calling command's error report.
    void LoadWorkPicture(const QString& path, StepRunner& run, int firstStep);
    void ArrangeScrollBars();
    void PushButton3_Click();
    void PushButton12_Click();
    bool isRemoving() const { return m_removalRunning; }
    // Handles a list of files dropped on the picture.
    void dropFiles(const QList<QString>& files);

    // Selection handlers of the working picture.
    void PicOrg_MouseDown(Qt::MouseButton button, QPointF at);
    void PicOrg_MouseUp(Qt::MouseButton button, QPointF at);
    void PicOrg_MouseMove(QPointF at);
    void finishSelection();

    const QString& appTitle() const { return m_appTitle; }
    int pointer() const { return m_pointer; }
    void setPointer(int value);
    int selMode() const { return SelMode; }
    int selLastIndex() const { return SelLastIndex; }
    float loadedWidth() const { return LoadedWidth; }
    float loadedHeight() const { return LoadedHeight; }
    PictureBox* picOrg() const { return PicOrg; }
    bool hasHandCursor() const { return m_hasHandCursor; }

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildControls();
    void Form_Load();
    void ApplySkin();
    void SetAppTitle();
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
    QPushButton* makeButton(const char* name, const QString& caption, QWidget* parent,
                            int left, int top, int width, int height);

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
    int SelMode = 1;
    int SelLastIndex = -1;
    QVector<QPoint> SelPoints;
    float LoadedWidth = 0;
    float LoadedHeight = 0;
    QString SavedCaption;
    bool m_removalRunning = false;
    bool m_runAbandoned = false;

    QPushButton* PushButton1 = nullptr;
    QPushButton* PushButton2 = nullptr;
    QPushButton* PushButton3 = nullptr;
    QPushButton* PushButton4 = nullptr;
    QPushButton* PushButton5 = nullptr;
    QPushButton* PushButton6 = nullptr;
    QPushButton* PushButton7 = nullptr;
    QPushButton* PushButton8 = nullptr;
    QPushButton* PushButton9 = nullptr;
    QPushButton* PushButton11 = nullptr;
    QPushButton* PushButton12 = nullptr;
    QWidget* PicScroll = nullptr;
    PictureBox* PicOrg = nullptr;
    QScrollBar* VscrPic = nullptr;
    QScrollBar* HscrPic = nullptr;
    QGroupBox* Frame1 = nullptr;
    QGroupBox* Frame2 = nullptr;
    QGroupBox* Frame3 = nullptr;
    QGroupBox* Frame4 = nullptr;
    QGroupBox* Frame5 = nullptr;
    QRadioButton* Option1 = nullptr;
    QRadioButton* Option2 = nullptr;
    QButtonGroup* m_options = nullptr;
    QScrollBar* HScroll1 = nullptr;
    QScrollBar* HScroll2 = nullptr;
    QLabel* Label2 = nullptr;
    QLabel* Label4 = nullptr;
    QCheckBox* ChkPrev = nullptr;
    PictureBox* picUndo = nullptr;
};

}  // namespace velmora
