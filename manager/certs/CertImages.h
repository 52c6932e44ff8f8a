#pragma once

// The certificate view's seven 16 x 16 tree images, indexed as TreeImage
// (image 3 is unused and left blank). Drawn rather than loaded so they stay
// sharp at every device pixel ratio.

#include <QIcon>
#include <QList>
#include <QPixmap>

inline constexpr int kCertImageCount = 7;

// One image for one device pixel ratio: 16 x 16 logical pixels, transparent
// where nothing is drawn.
QPixmap certImagePixmap(int index, qreal devicePixelRatio);
QIcon certImage(int index);
QList<QIcon> certImages();
