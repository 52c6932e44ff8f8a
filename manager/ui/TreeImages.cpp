#include "TreeImages.h"

#include "DrawnIcons.h"
#include "MainWindowRules.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace {

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

} // namespace

QPixmap treeImagePixmap(int index, qreal devicePixelRatio) {
    return drawnPixmap(devicePixelRatio, [index](QPainter& p) {
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
            drawDataObjectImage(p);
            break;
        default:
            break;
        }
    });
}

QIcon treeImage(int index) {
    return drawnIcon([index](qreal ratio) { return treeImagePixmap(index, ratio); });
}

QList<QIcon> treeImages() {
    return drawnIcons(kTreeImageCount, treeImage);
}
