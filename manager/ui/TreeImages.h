#pragma once

#include <QIcon>
#include <QList>

// The navigation tree's six 16 x 16 images (see TreeImageIndex), drawn here
// rather than loaded so they stay sharp at every device pixel ratio.
QIcon treeImage(int index);
QList<QIcon> treeImages();

// One image drawn for one device pixel ratio: a pixmap of 16 x 16 logical
// pixels, so 16 * ratio device pixels, transparent where nothing is drawn.
QPixmap treeImagePixmap(int index, qreal devicePixelRatio);
