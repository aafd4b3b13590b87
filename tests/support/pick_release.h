#pragma once

#include "form1.h"

#include <QComboBox>
#include <QLabel>

// As the user does it: the first release of the list picked, then a folder.
inline void pickFirstRelease(Form1 &form, const QString &folder)
{
    form.ComboVersion->setCurrentIndex(0);
    emit form.ComboVersion->activated(0);
    form.Label4->setText(folder);
}
