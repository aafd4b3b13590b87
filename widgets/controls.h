#pragma once

#include <QString>

class QColor;
class QFrame;
class QLabel;
class QRect;
class QWidget;

// The plain controls both windows place at fixed positions.

// A horizontal rule: a frame filled with colour.
QFrame *makeLine(QWidget *parent, const QRect &geometry, const QColor &colour);

QLabel *makeLabel(QWidget *parent, const QRect &geometry, const QString &text = QString());

// The white band behind a window's heading.
void setWhiteBackground(QWidget *widget);
