#pragma once

#include <QImage>
#include <QObject>

#include "inpainting.h"

namespace velmora {

class PictureBox;

// The removal applied to the working picture: one engine run at a time, with
// the window's events let through between stages, and the copy that Undo
// brings back. The window's controls follow its state through stateChanged().
class RemovalOperation : public QObject {
    Q_OBJECT
public:
    explicit RemovalOperation(PictureBox* picture, QObject* parent = nullptr);

    // The engine is working (events run inside run()).
    bool isRunning() const { return m_running; }
    // A click on the remove button now stops the run: from offerStop() until the
    // stop is taken, the run is abandoned or withdrawStop().
    bool offersStop() const { return m_offersStop; }
    bool isStopRequested() const { return m_stopRequested; }
    // There is a copy that Undo may bring back.
    bool canUndo() const { return m_canUndo; }
    const QImage& undoPicture() const { return m_undoPicture; }

    // A run is about to start: a click now means stop, and no stop is pending.
    void offerStop();
    // The run no longer offers a stop (a stop click, or the run has returned).
    void withdrawStop();
    // Asks the running engine to stop at its next yield.
    void requestStop() { m_stopRequested = true; }
    // A new picture replaces the one being worked on: a running removal ends and
    // its result is dropped. Returns whether the run offered a stop until now.
    bool abandon();

    // Keeps picture as the copy that Undo brings back.
    void keepForUndo(const QImage& picture);
    // The copy belongs to a picture that is gone; Undo has nothing to bring back.
    void forgetUndo();

    // Fills every mark-coloured pixel of the picture's persistent image. A
    // completed run becomes the committed picture; a stopped or abandoned one
    // returns 0 steps and, with preview on, leaves what was shown so far.
    InpaintResult run(const InpaintOptions& options);

signals:
    void stateChanged();

private:
    PictureBox* m_picture;
    bool m_running = false;
    bool m_offersStop = false;
    bool m_stopRequested = false;
    bool m_abandoned = false;  // the run's picture was replaced; its result is dropped
    bool m_canUndo = false;
    QImage m_undoPicture;
};

}  // namespace velmora
