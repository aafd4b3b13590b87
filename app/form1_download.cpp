#include "form1.h"

#include <QCloseEvent>

void Form1::Command1_Click() {}

void Form1::StartDownload() {}

qint32 Form1::GetRemoteFileSize(const QString &)
{
    return -1;
}

void Form1::Inet1_StateChanged(int) {}

void Form1::closeEvent(QCloseEvent *event)
{
    event->accept();
}
