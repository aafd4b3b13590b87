#include "logo.h"

#include <QPainter>
#include <QPainterPath>

#include <algorithm>

namespace {

void paintPlanet(QPainter &p, const QRectF &box)
{
    p.setRenderHint(QPainter::Antialiasing);
    const QPointF centre = box.center();
    const qreal r = box.width() * 0.30;

    QRadialGradient sphere(centre - QPointF(r * 0.4, r * 0.4), r * 1.6);
    sphere.setColorAt(0.0, QColor(0x9f, 0xd4, 0xff));
    sphere.setColorAt(1.0, QColor(0x0b, 0x4f, 0x9c));
    p.setPen(Qt::NoPen);
    p.setBrush(sphere);
    p.drawEllipse(centre, r, r);

    // The orbit, tilted, passing in front of the planet's lower half.
    p.save();
    p.translate(centre);
    p.rotate(-20);
    QPen orbit(QColor(0xf2, 0x8c, 0x1c), qMax<qreal>(1.5, box.width() / 18));
    orbit.setCapStyle(Qt::RoundCap);
    p.setPen(orbit);
    p.setBrush(Qt::NoBrush);
    const QRectF ring(-box.width() * 0.47, -r * 0.42, box.width() * 0.94, r * 0.84);
    p.drawArc(ring, 180 * 16, 180 * 16);
    p.restore();
}

void paintArrow(QPainter &p, const QRectF &box)
{
    QPainterPath arrow;
    const qreal cx = box.center().x();
    const qreal w = box.width();
    arrow.moveTo(cx - w * 0.12, box.top());
    arrow.lineTo(cx + w * 0.12, box.top());
    arrow.lineTo(cx + w * 0.12, box.top() + box.height() * 0.45);
    arrow.lineTo(cx + w * 0.30, box.top() + box.height() * 0.45);
    arrow.lineTo(cx, box.bottom());
    arrow.lineTo(cx - w * 0.30, box.top() + box.height() * 0.45);
    arrow.lineTo(cx - w * 0.12, box.top() + box.height() * 0.45);
    arrow.closeSubpath();
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x2e, 0x9e, 0x44));
    p.drawPath(arrow);
}

QPixmap render(int width, int height, bool withArrow)
{
    QPixmap pixmap(width, height);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    if (withArrow) {
        paintLogo(p, QRectF(0, 0, width, height));
    } else {
        paintPlanet(p, QRectF(0, 0, width, width));
    }
    return pixmap;
}

} // namespace

void paintLogo(QPainter &painter, const QRectF &box)
{
    // The largest 37:49 rectangle in box, centred in it.
    const qreal scale = std::min(box.width() / LogoSize.width(), box.height() / LogoSize.height());
    const QSizeF size = QSizeF(LogoSize) * scale;
    const QRectF logo(box.center() - QPointF(size.width() / 2, size.height() / 2), size);
    const qreal width = logo.width();
    paintPlanet(painter, QRectF(logo.topLeft(), QSizeF(width, width)));
    // The arrow's tip stops a 49th of the height above the bottom: one pixel in the banner.
    paintArrow(painter, QRectF(logo.left() + width * 0.25, logo.top() + width * 0.92, width * 0.5,
                               logo.height() * 48 / 49 - width * 0.92));
}

QPixmap drawLogo()
{
    return render(LogoSize.width(), LogoSize.height(), true);
}

QIcon drawWindowIcon()
{
    QIcon icon;
    icon.addPixmap(render(32, 32, false));
    icon.addPixmap(render(16, 16, false));
    return icon;
}
