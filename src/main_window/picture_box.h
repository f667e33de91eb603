#pragma once

#include <QImage>
#include <QStringList>
#include <QWidget>

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
    // Commits the persistent image as the picture.
    void commitImage();
    // The persistent image changed inside rect; repaint just that part.
    void imageChanged(const QRect& rect);
    // Marks were painted into the persistent image inside rect.
    void markPainted(const QRect& rect);
    // The area marks were painted into since the last call; empty when none.
    QRect takePaintedArea();

    QImage& overlay() { return m_overlay; }
    void clearOverlay();

    void setAutoSize(bool on);
    bool autoSize() const { return m_autoSize; }
    // Sets the box's size; the persistent image follows, keeping what fits.
    void setBoxSize(int width, int height);

signals:
    // Local files dropped on the picture, in the order offered.
    void filesDropped(const QStringList& files);
    // Mouse events in picture pixels (unrounded).
    void pressed(Qt::MouseButton button, QPointF at);
    void released(Qt::MouseButton button, QPointF at);
    void moved(QPointF at);
    void doubleClicked();

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

private:
    void resizeLayers(const QSize& size);

    QImage m_picture;
    QImage m_image;
    QImage m_overlay;
    bool m_autoSize = false;
    QRect m_paintedArea;
};

}  // namespace velmora
