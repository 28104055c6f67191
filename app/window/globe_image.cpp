#include "app/window/globe_image.hpp"

#include <QPainter>
#include <QPalette>
#include <QPen>
#include <QPixmap>
#include <QtGlobal>
#include <algorithm>
#include <cmath>

namespace dunmarrow {

void paintGlobe(QPainter& painter, const QRectF& bounds, const QColor& color) {
    const qreal side = std::min(bounds.width(), bounds.height());
    const qreal stroke = std::max<qreal>(1.0, side / 16.0);
    // The stroke is centred on the outline, so the sphere shrinks by half of it to stay inside.
    const qreal radius = (side - stroke) / 2.0;
    const QPointF centre = bounds.center();
    const QRectF sphere(centre.x() - radius, centre.y() - radius, 2 * radius, 2 * radius);

    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(color, stroke, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));

    painter.drawEllipse(sphere);
    // Meridians: the central one as a line, the side ones as a narrow ellipse.
    painter.drawLine(QPointF(centre.x(), sphere.top()), QPointF(centre.x(), sphere.bottom()));
    const qreal meridian = radius * 0.45;
    painter.drawEllipse(QRectF(centre.x() - meridian, sphere.top(), 2 * meridian, 2 * radius));
    // Parallels: the equator and one chord above and below it.
    painter.drawLine(QPointF(sphere.left(), centre.y()), QPointF(sphere.right(), centre.y()));
    const qreal offset = radius * 0.5;
    const qreal halfChord = std::sqrt(radius * radius - offset * offset);
    for (const qreal y : {centre.y() - offset, centre.y() + offset}) {
        painter.drawLine(QPointF(centre.x() - halfChord, y), QPointF(centre.x() + halfChord, y));
    }
    painter.restore();
}

QIcon globeIcon(const QColor& color) {
    QIcon icon;
    for (const int size : {16, 32, 48, 64, 128, 256}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        paintGlobe(painter, QRectF(0, 0, size, size), color);
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

QColor accentColor(const QPalette& palette) {
#if QT_VERSION >= QT_VERSION_CHECK(6, 6, 0)
    return palette.color(QPalette::Accent);
#else
    return palette.color(QPalette::Highlight);
#endif
}

GlobeImage::GlobeImage(QWidget* parent) : QWidget(parent) {
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

QSize GlobeImage::sizeHint() const {
    return {side, side};
}

void GlobeImage::paintEvent(QPaintEvent* /*event*/) {
    QPainter painter(this);
    paintGlobe(painter, QRectF(rect()), accentColor(palette()));
}

}  // namespace dunmarrow
