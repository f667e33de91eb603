#pragma once

#include <QColorSpace>
#include <QColorTransform>
#include <QImage>
#include <QPicture>
#include <QStringList>
#include <QWidget>

#include "zoom.h"

class QPainter;

namespace velmora {

// The working picture box: a committed picture, the persistent image drawn
// over it (what commands read, write, copy and save) and a temporary overlay
// for outlines under construction.
class PictureBox : public QWidget {
    Q_OBJECT
public:
    explicit PictureBox(QWidget* parent = nullptr);

    // Makes image the committed picture and the persistent image, transparent
    // parts composed over white; with automatic sizing on, the box takes the
    // picture's size.
    void setPicture(const QImage& image);
    const QImage& picture() const { return m_picture; }
    const QImage& image() const { return m_image; }
    QImage& image() { return m_image; }
    // The colour space the picture's values are in, from the file it was read
    // from. The view shows them converted to sRGB, as a colour-managed viewer
    // does; the values themselves are never changed. Invalid means sRGB.
    void setColorSpace(const QColorSpace& space);
    // Commits the persistent image as the picture.
    void commitImage();
    // The persistent image changed inside rect; repaint just that part.
    void imageChanged(const QRect& rect);
    // Marks were painted into the persistent image inside rect.
    void markPainted(const QRect& rect);
    // The area marks were painted into since the last call; empty when none.
    QRect takePaintedArea();

    // The outline under construction, in picture pixels; whoever draws on it
    // tells overlayDrawn where. It is recorded rather than drawn into a layer of
    // the picture's size: a large photo is not held once more for it.
    QPicture& overlay() { return m_overlay; }
    void overlayDrawn(const QRect& area);
    void clearOverlay();

    void setAutoSize(bool on);
    bool autoSize() const { return m_autoSize; }
    // Sets the box's size; the persistent image follows, keeping what fits.
    void setBoxSize(int width, int height);
    // The box's size in picture pixels: its widget size at 1:1.
    QSize boxSize() const { return m_image.size(); }

    // Shows the picture at zoom: the widget takes the scaled size, pointer
    // positions arrive in picture pixels and repaints map the other way. Only
    // the display changes; the picture and its marks stay at full size.
    void setZoom(Zoom zoom);
    Zoom zoom() const { return m_zoom; }
    // The widget's pixels that show some part of the picture pixels in rect.
    QRect screenRect(const QRect& rect) const;

signals:
    // Local files dropped on the picture, in the order offered.
    void filesDropped(const QStringList& files);
    // Mouse events in picture pixels (unrounded).
    void pressed(Qt::MouseButton button, QPointF at);
    void released(Qt::MouseButton button, QPointF at);
    void moved(QPointF at);
    void doubleClicked();
    // Ctrl+wheel: whole zoom steps (positive in), at a position of the widget.
    void zoomWheeled(int steps, QPointF at);

protected:
    void paintEvent(QPaintEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    // The second press of a double-click arrives only here.
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;

private:
    void resizeLayers(const QSize& size);
    QPointF picturePosition(QPointF at) const;

    // Draws the source part of the persistent image into target, in sRGB.
    void drawPicture(QPainter& painter, const QRectF& target, const QRect& source) const;

    QImage m_picture;
    QImage m_image;
    QPicture m_overlay;
    bool m_autoSize = false;
    Zoom m_zoom;
    QRect m_overlayArea;         // what was drawn on the overlay since it was last cleared
    int m_wheelAngle = 0;        // eighths of a degree not yet taken as a zoom step
    QColorTransform m_toScreen;  // set only for a picture that is not sRGB already
    QRect m_paintedArea;
};

}  // namespace velmora
