#pragma once

#include <QIcon>
#include <QPixmap>

// The product's picture: a planet in orbit above a download arrow.
QPixmap drawLogo();          // 37 x 49, for the banners
QIcon drawWindowIcon();      // 32 x 32 and 16 x 16
