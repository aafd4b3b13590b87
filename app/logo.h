#pragma once

#include <QIcon>
#include <QPixmap>
#include <QRectF>
#include <QSize>

class QPainter;

// The product's picture: a planet in orbit above a download arrow.
QPixmap drawLogo();     // 37 x 49, for the banners
QIcon drawWindowIcon(); // 32 x 32 and 16 x 16

// The banner's size, and so the logo's proportions.
inline constexpr QSize LogoSize(37, 49);

// The logo at any size: the largest 37:49 rectangle in box, centred. The
// desktop's icons are drawn with it, so that they are the picture the window shows.
void paintLogo(QPainter &painter, const QRectF &box);
