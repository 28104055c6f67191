// The globe at the top of the window, drawn in the palette's accent colour.
#pragma once

#include <QColor>
#include <QIcon>
#include <QRectF>
#include <QWidget>

class QPainter;

namespace dunmarrow {

// A globe in line art (outline, meridians, parallels) filling the square centred in `bounds`.
void paintGlobe(QPainter& painter, const QRectF& bounds, const QColor& color);

// The app icon: the same globe at the usual icon sizes.
QIcon globeIcon(const QColor& color);

// The accent colour of a palette (Qt 6.6 names it; older versions call it Highlight).
QColor accentColor(const QPalette& palette);

class GlobeImage : public QWidget {
    Q_OBJECT

public:
    static constexpr int side = 64;

    explicit GlobeImage(QWidget* parent = nullptr);

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
};

}  // namespace dunmarrow
