#include "drive_list_box.h"

#include "runtime_error.h"

#include <QScopedValueRollback>

DriveListBox::DriveListBox(QWidget *parent) : QComboBox(parent)
{
    connect(this, &QComboBox::currentIndexChanged, this, &DriveListBox::userChanged);
}

void DriveListBox::populate(const QList<Volume> &volumes, const QString &current)
{
    const QScopedValueRollback assigning(m_assigning, true);
    clear();
    for (const Volume &volume : volumes) {
        const QString text = volume.device.isEmpty()
                                 ? volume.mountPoint
                                 : QStringLiteral("%1 [%2]").arg(volume.mountPoint, volume.device);
        addItem(text, volume.mountPoint);
    }
    setCurrentIndex(findData(current));
}

QString DriveListBox::drive() const
{
    return currentText();
}

QString DriveListBox::designation() const
{
    return currentData().toString();
}

void DriveListBox::setDrive(const QString &drive)
{
    int index = findData(drive);
    if (index < 0) {
        index = findText(drive, Qt::MatchExactly);
    }
    if (index < 0) {
        throw RuntimeError(ErrorNumber::DeviceIo,
                           QStringLiteral("Device unavailable: \"%1\"").arg(drive));
    }
    if (index == currentIndex()) {
        return;
    }
    {
        const QScopedValueRollback assigning(m_assigning, true);
        setCurrentIndex(index);
    }
    if (m_change) {
        m_change();
    }
}

void DriveListBox::setChangeHandler(std::function<void()> handler)
{
    m_change = std::move(handler);
}

void DriveListBox::userChanged()
{
    if (!m_assigning && m_change) {
        m_change();
    }
}
