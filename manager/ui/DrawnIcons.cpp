#include "DrawnIcons.h"

#include <QGuiApplication>

#include <cmath>
#include <set>

void drawDataObjectImage(QPainter& p) {
    p.setPen(QPen(QColor(30, 70, 140), 1));
    p.setBrush(QColor(120, 170, 230));
    p.drawRect(QRectF(3.5, 4, 9, 9));
    p.setBrush(QColor(170, 205, 245));
    p.drawEllipse(QRectF(3.5, 2, 9, 4));
    p.setBrush(Qt::NoBrush);
    p.drawArc(QRectF(3.5, 11, 9, 4), 180 * 16, 180 * 16);
    p.drawArc(QRectF(3.5, 7.5, 9, 4), 180 * 16, 180 * 16);
}

QPixmap drawnPixmap(qreal devicePixelRatio, const std::function<void(QPainter&)>& draw) {
    if (devicePixelRatio <= 0)
        devicePixelRatio = 1;
    int side = static_cast<int>(std::ceil(kDrawnIconSide * devicePixelRatio));
    QPixmap pixmap(side, side);
    pixmap.setDevicePixelRatio(devicePixelRatio);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    draw(p);
    return pixmap;
}

QIcon drawnIcon(const std::function<QPixmap(qreal)>& pixmapAt) {
    std::set<qreal> ratios{1.0, 2.0};
    if (qGuiApp != nullptr)
        ratios.insert(qGuiApp->devicePixelRatio());
    QIcon icon;
    for (qreal ratio : ratios)
        icon.addPixmap(pixmapAt(ratio));
    return icon;
}

QList<QIcon> drawnIcons(int count, const std::function<QIcon(int)>& iconAt) {
    QList<QIcon> images;
    for (int i = 0; i < count; ++i)
        images.append(iconAt(i));
    return images;
}
