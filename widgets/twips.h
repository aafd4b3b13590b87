#pragma once

#include <QRect>

// Window layouts are given in twips: 15 twips to a device-independent pixel.
constexpr int twips(int value)
{
    return (value + 7) / 15;
}

constexpr QRect twipsRect(int left, int top, int width, int height)
{
    return QRect(twips(left), twips(top), twips(width), twips(height));
}
