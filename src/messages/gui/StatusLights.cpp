#include "messages/gui/StatusLights.h"

#include <QPainter>
#include <QRadialGradient>

QPixmap statusLightImage(StatusLight light, int size)
{
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    if (light == StatusLight::None)
        return pixmap;

    QColor lamp;
    switch (light) {
    case StatusLight::Green:
        lamp = QColor(0x20, 0xc0, 0x30);
        break;
    case StatusLight::Yellow:
        lamp = QColor(0xf0, 0xd0, 0x10);
        break;
    default:
        lamp = QColor(0xe0, 0x20, 0x20);
        break;
    }

    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF housing(0.5, 0.5, size - 1.0, size - 1.0);
    p.setPen(QPen(QColor(0x20, 0x20, 0x20), 1.0));
    p.setBrush(QColor(0x40, 0x40, 0x40));
    p.drawRoundedRect(housing, size / 5.0, size / 5.0);

    const QRectF bulb = housing.adjusted(size / 6.0, size / 6.0, -size / 6.0, -size / 6.0);
    QRadialGradient glow(bulb.center() - QPointF(bulb.width() / 6, bulb.height() / 6), bulb.width() / 1.6);
    glow.setColorAt(0.0, lamp.lighter(170));
    glow.setColorAt(0.6, lamp);
    glow.setColorAt(1.0, lamp.darker(160));
    p.setPen(Qt::NoPen);
    p.setBrush(glow);
    p.drawEllipse(bulb);
    return pixmap;
}
