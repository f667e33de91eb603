#pragma once

#include <QWidget>

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

private:
    PictureBox* m_picture = nullptr;
    QScrollBar* m_horizontalBar = nullptr;
    QScrollBar* m_verticalBar = nullptr;
    QGroupBox* m_corner = nullptr;  // the square where the two bars meet
};

}  // namespace velmora
