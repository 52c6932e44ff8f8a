#include "CertImages.h"

#include "ContainerModel.h"
#include "DrawnIcons.h"

#include <QPainter>
#include <QPainterPath>

namespace {

void drawCertificate(QPainter& p, bool valid) {
    p.setPen(QPen(QColor(90, 90, 110), 1));
    p.setBrush(valid ? QColor(Qt::white) : QColor(235, 235, 235));
    p.drawRect(QRectF(0.5, 1.5, 13, 10));
    p.setPen(QPen(QColor(120, 120, 150), 1));
    p.drawLine(QPointF(2.5, 4), QPointF(11.5, 4));
    p.drawLine(QPointF(2.5, 6), QPointF(8, 6));
    p.drawLine(QPointF(2.5, 8), QPointF(7, 8));
    // The seal with its ribbon.
    p.setPen(Qt::NoPen);
    QColor seal = valid ? QColor(200, 40, 40) : QColor(150, 150, 150);
    p.setBrush(seal);
    p.drawPolygon(QPolygonF({QPointF(8.5, 10.5), QPointF(10, 15.5), QPointF(11, 13.5),
                             QPointF(12, 15.5), QPointF(13.5, 10.5)}));
    p.drawEllipse(QPointF(11, 10), 2.5, 2.5);
    if (!valid) {
        // A red cross: outside its validity period.
        p.setPen(QPen(QColor(210, 30, 30), 1.8, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(10.5, 1.5), QPointF(15, 6));
        p.drawLine(QPointF(15, 1.5), QPointF(10.5, 6));
    }
}

void drawKey(QPainter& p, const QColor& line, const QColor& fill) {
    p.setPen(QPen(line, 1));
    p.setBrush(fill);
    p.drawEllipse(QPointF(4.5, 8), 3.5, 3.5);
    p.setBrush(Qt::white);
    p.drawEllipse(QPointF(3.8, 8), 1.2, 1.2);
    p.setPen(QPen(line, 2, Qt::SolidLine, Qt::FlatCap));
    p.drawLine(QPointF(8, 8), QPointF(15, 8));
    p.drawLine(QPointF(12.5, 8), QPointF(12.5, 11.5));
    p.drawLine(QPointF(14.5, 8), QPointF(14.5, 11));
}

void drawPrivateKey(QPainter& p) {
    drawKey(p, QColor(130, 85, 0), QColor(240, 190, 40));
    // A small padlock: the private half.
    p.setPen(QPen(QColor(60, 60, 60), 1));
    p.setBrush(QColor(90, 90, 100));
    p.drawRect(QRectF(9.5, 12.5, 5, 3));
    p.setBrush(Qt::NoBrush);
    p.drawArc(QRectF(10.5, 10, 3, 4), 0, 180 * 16);
}

void drawPublicKey(QPainter& p) {
    drawKey(p, QColor(20, 110, 60), QColor(110, 200, 120));
}

void drawContainer(QPainter& p) {
    // A key box: a case with a key on its lid.
    p.setPen(QPen(QColor(70, 60, 110), 1));
    p.setBrush(QColor(140, 125, 200));
    p.drawRoundedRect(QRectF(1.5, 5.5, 13, 9), 1.5, 1.5);
    p.setBrush(QColor(175, 160, 230));
    p.drawRoundedRect(QRectF(1.5, 3.5, 13, 3.5), 1, 1);
    p.setBrush(Qt::NoBrush);
    p.drawArc(QRectF(5.5, 1, 5, 4.5), 0, 180 * 16);
    p.setPen(QPen(QColor(240, 200, 60), 1.5));
    p.drawEllipse(QPointF(5.5, 10.5), 1.6, 1.6);
    p.drawLine(QPointF(7, 10.5), QPointF(12, 10.5));
    p.drawLine(QPointF(11, 10.5), QPointF(11, 12.5));
}

} // namespace

QPixmap certImagePixmap(int index, qreal devicePixelRatio) {
    return drawnPixmap(devicePixelRatio, [index](QPainter& p) {
        switch (static_cast<TreeImage>(index)) {
        case TreeImage::CertificateValid:
            drawCertificate(p, true);
            break;
        case TreeImage::CertificateOutOfDate:
            drawCertificate(p, false);
            break;
        case TreeImage::Data:
            drawDataObjectImage(p);
            break;
        case TreeImage::PrivateKey:
            drawPrivateKey(p);
            break;
        case TreeImage::PublicKey:
            drawPublicKey(p);
            break;
        case TreeImage::Container:
            drawContainer(p);
            break;
        default:
            break;
        }
    });
}

QIcon certImage(int index) {
    return drawnIcon([index](qreal ratio) { return certImagePixmap(index, ratio); });
}

QList<QIcon> certImages() {
    return drawnIcons(kCertImageCount, certImage);
}
