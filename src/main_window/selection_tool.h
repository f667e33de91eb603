#pragma once

#include <QColor>
#include <QObject>
#include <QPoint>
#include <QRect>
#include <QVector>

class QPainter;

namespace velmora {

class PictureBox;

// The colour of every mark and of the region the engine fills.
inline const QColor kMarkColour(0, 255, 0);

// How pointer input on the picture marks a region.
enum class SelectionMode {
    Polygon,  // clicks add corners; a click near the first corner or a double-click closes it
    Box,      // a press and a release are opposite corners of a filled rectangle
};

// Turns pointer events on the working picture into marks: finished boxes and
// polygons are painted in kMarkColour, outline and interior, into the picture's
// persistent image; an outline under construction lives on its overlay only.
class SelectionTool : public QObject {
    Q_OBJECT
public:
    explicit SelectionTool(PictureBox* picture, QObject* parent = nullptr);

    SelectionMode mode() const { return m_mode; }
    // Changes the mode and forgets any unfinished outline.
    void setMode(SelectionMode mode);
    // The index of the last point of the unfinished outline: -1 when there is
    // none, 1 for an anchored box, the number of polygon corners less one.
    int lastPointIndex() const { return m_lastIndex; }

    // Pointer events in picture pixels, unrounded.
    void press(Qt::MouseButton button, QPointF at);
    void release(Qt::MouseButton button, QPointF at);
    void move(QPointF at);
    // Closes and paints the polygon under construction (a double-click).
    void finish();

private:
    void addPoint(QPointF at);
    void anchorOrPaintBox(QPointF at);
    void drawOutline(QPainter& painter) const;
    QRect outlineArea(QPointF to) const;

    PictureBox* m_picture;
    SelectionMode m_mode = SelectionMode::Box;
    int m_lastIndex = -1;
    QVector<QPoint> m_points;  // the outline's points up to m_lastIndex
    QRect m_anchorPixels;      // an anchored box's first corner: the picture pixels under it
};

}  // namespace velmora
