#pragma once

// The scaffolding shared by the manager's drawn 16 x 16 images: a pixmap per
// device pixel ratio, an icon holding every ratio in use, and the list of a
// whole image set. Each set only says how to draw one image.

#include <QIcon>
#include <QList>
#include <QPainter>
#include <QPixmap>

#include <functional>

inline constexpr int kDrawnIconSide = 16;

// The data object, a blue cylinder, the same in every image set.
void drawDataObjectImage(QPainter& p);

// A transparent pixmap of 16 x 16 logical pixels for the given ratio (one
// when the ratio is not positive), antialiased, painted by draw.
QPixmap drawnPixmap(qreal devicePixelRatio, const std::function<void(QPainter&)>& draw);

// An icon with the pixmap for every ratio a screen of this session uses,
// plus the two common ones, so the icon never has to scale a bitmap.
QIcon drawnIcon(const std::function<QPixmap(qreal)>& pixmapAt);

// The icons of images 0 to count - 1.
QList<QIcon> drawnIcons(int count, const std::function<QIcon(int)>& iconAt);
