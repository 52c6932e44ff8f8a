#include "TreeImages.h"

#include "MainWindowRules.h"

#include <QGuiApplication>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

#include <cmath>
#include <set>

namespace {

constexpr int kSize = 16;

void drawReader(QPainter& p) {
    p.setPen(QPen(QColor(70, 70, 80), 1));
    p.setBrush(QColor(170, 175, 185));
    p.drawRoundedRect(QRectF(1.5, 7.5, 13, 7), 1.5, 1.5);
    // The card slot.
    p.setPen(QPen(QColor(30, 30, 35), 1.2));
    p.drawLine(QPointF(4, 9.5), QPointF(12, 9.5));
    // The status light.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(90, 90, 90));
    p.drawEllipse(QPointF(12.5, 12.5), 1, 1);
}

void drawToken(QPainter& p) {
    // A key standing in the reader's slot.
    p.setPen(QPen(QColor(120, 80, 0), 1));
    p.setBrush(QColor(240, 190, 40));
    p.drawRoundedRect(QRectF(5.5, 1.5, 5, 8), 1, 1);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(255, 240, 170));
    p.drawRect(QRectF(6.5, 2.5, 3, 2));
    p.setBrush(QColor(40, 170, 60));
    p.drawEllipse(QPointF(12.5, 12.5), 1.2, 1.2);
}

void drawFolder(QPainter& p) {
    p.setPen(QPen(QColor(140, 100, 20), 1));
    p.setBrush(QColor(230, 190, 80));
    QPainterPath back;
    back.moveTo(1.5, 3.5);
    back.lineTo(6, 3.5);
    back.lineTo(7.5, 5);
    back.lineTo(14.5, 5);
    back.lineTo(14.5, 13.5);
    back.lineTo(1.5, 13.5);
    back.closeSubpath();
    p.drawPath(back);
    p.setBrush(QColor(250, 215, 110));
    p.drawRect(QRectF(1.5, 7, 13, 6.5));
}

void drawCertificate(QPainter& p) {
    p.setPen(QPen(QColor(90, 90, 110), 1));
    p.setBrush(Qt::white);
    p.drawRect(QRectF(1.5, 2.5, 13, 10));
    p.setPen(QPen(QColor(120, 120, 150), 1));
    p.drawLine(QPointF(3.5, 5), QPointF(12.5, 5));
    p.drawLine(QPointF(3.5, 7), QPointF(9, 7));
    // The seal with its ribbon.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(200, 40, 40));
    p.drawPolygon(QPolygonF({QPointF(9.5, 11), QPointF(11, 15.5), QPointF(12, 13.5),
                             QPointF(13, 15.5), QPointF(14.5, 11)}));
    p.drawEllipse(QPointF(12, 10.5), 2.3, 2.3);
}

void drawKey(QPainter& p) {
    p.setPen(QPen(QColor(120, 80, 0), 1.5));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(QPointF(4.5, 8), 3, 3);
    p.drawLine(QPointF(7.5, 8), QPointF(14.5, 8));
    p.drawLine(QPointF(12, 8), QPointF(12, 11));
    p.drawLine(QPointF(14, 8), QPointF(14, 10.5));
}

void drawDataObject(QPainter& p) {
    p.setPen(QPen(QColor(30, 70, 140), 1));
    p.setBrush(QColor(120, 170, 230));
    p.drawRect(QRectF(3.5, 4, 9, 9));
    p.setBrush(QColor(170, 205, 245));
    p.drawEllipse(QRectF(3.5, 2, 9, 4));
    p.setBrush(Qt::NoBrush);
    p.drawArc(QRectF(3.5, 11, 9, 4), 180 * 16, 180 * 16);
    p.drawArc(QRectF(3.5, 7.5, 9, 4), 180 * 16, 180 * 16);
}

} // namespace

QPixmap treeImagePixmap(int index, qreal devicePixelRatio) {
    if (devicePixelRatio <= 0)
        devicePixelRatio = 1;
    int side = static_cast<int>(std::ceil(kSize * devicePixelRatio));
    QPixmap pixmap(side, side);
    pixmap.setDevicePixelRatio(devicePixelRatio);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    switch (index) {
    case kImageSlotEmpty:
        drawReader(p);
        break;
    case kImageSlotToken:
        drawReader(p);
        drawToken(p);
        break;
    case kImageDataManagement:
        drawFolder(p);
        break;
    case kImageCertificate:
        drawCertificate(p);
        break;
    case kImageKeyPair:
        drawKey(p);
        break;
    case kImageDataObject:
        drawDataObject(p);
        break;
    default:
        break;
    }
    return pixmap;
}

QIcon treeImage(int index) {
    // Every ratio a screen of this session uses, plus the two common ones,
    // so the icon never has to scale a bitmap.
    std::set<qreal> ratios{1.0, 2.0};
    if (qGuiApp != nullptr)
        ratios.insert(qGuiApp->devicePixelRatio());
    QIcon icon;
    for (qreal ratio : ratios)
        icon.addPixmap(treeImagePixmap(index, ratio));
    return icon;
}

QList<QIcon> treeImages() {
    QList<QIcon> images;
    for (int i = 0; i < kTreeImageCount; ++i)
        images.append(treeImage(i));
    return images;
}
