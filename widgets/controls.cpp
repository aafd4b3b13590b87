#include "controls.h"

#include <QColor>
#include <QFrame>
#include <QLabel>
#include <QPalette>

QFrame *makeLine(QWidget *parent, const QRect &geometry, const QColor &colour)
{
    auto *line = new QFrame(parent);
    line->setGeometry(geometry);
    line->setAutoFillBackground(true);
    QPalette palette = line->palette();
    palette.setColor(QPalette::Window, colour);
    line->setPalette(palette);
    return line;
}

QLabel *makeLabel(QWidget *parent, const QRect &geometry, const QString &text)
{
    auto *label = new QLabel(text, parent);
    // Labels show file, folder and server names: text, never markup.
    label->setTextFormat(Qt::PlainText);
    label->setGeometry(geometry);
    return label;
}

void setWhiteBackground(QWidget *widget)
{
    widget->setAutoFillBackground(true);
    QPalette palette = widget->palette();
    palette.setColor(QPalette::Window, Qt::white);
    widget->setPalette(palette);
}
