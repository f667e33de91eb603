#pragma once

#include <QWidget>

#include "zoom.h"

class QGroupBox;
class QScrollBar;

namespace velmora {

class PictureBox;

// The fixed-size view that shows the working picture from its top-left corner,
// with a scroll bar along each side the picture overhangs.
class PictureView : public QWidget {
    Q_OBJECT
public:
    explicit PictureView(QWidget* parent = nullptr);

    PictureBox* picture() const { return m_picture; }

    // Shows, places and ranges the scroll bars for the picture's current size
    // and scrolls back to its top-left corner. A range beyond 16 bits fails
    // with "Overflow".
    void arrangeScrollBars();

    // Zoom, keeping the picture point under anchor (a position in the view) in
    // place as far as the scroll bars reach: fit the whole picture in the view;
    // one picture pixel per screen pixel; whole steps in (positive) or out.
    void fitToView();
    void showOneToOne(QPointF anchor);
    void stepZoom(int steps, QPointF anchor);
    QPointF centre() const;

private:
    // Steps 1 to 7 of arrangeScrollBars, for the picture's shown size.
    void placeScrollBars();
    void applyZoom(Zoom zoom, QPointF anchor);

    PictureBox* m_picture = nullptr;
    QScrollBar* m_horizontalBar = nullptr;
    QScrollBar* m_verticalBar = nullptr;
    QGroupBox* m_corner = nullptr;  // the square where the two bars meet
};

}  // namespace velmora
