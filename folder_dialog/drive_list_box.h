#pragma once

#include "mount_table.h"

#include <QComboBox>

#include <functional>

// The drive list: one entry per volume, its value the mount point followed by
// the device in brackets. Each entry keeps its mount point apart, so the
// designation never has to be cut out of the shown text (mount points may hold
// blanks and brackets).
class DriveListBox final : public QComboBox
{
    Q_OBJECT

public:
    explicit DriveListBox(QWidget *parent = nullptr);

    // Lists the volumes and starts on the one mounted at current; raises no change.
    void populate(const QList<Volume> &volumes, const QString &current);

    // The value as shown, and the designation (mount point) it begins with.
    QString drive() const;
    QString designation() const;

    // Moves to the drive with that designation (or that exact value). Raises the
    // change, before returning, when the value is a different one. Throws
    // RuntimeError when no such drive is listed.
    void setDrive(const QString &drive);

    // Runs on every change of the value, by the user or by setDrive. A change made
    // by setDrive calls it directly, so whatever it throws reaches the caller.
    void setChangeHandler(std::function<void()> handler);

private:
    void userChanged();

    std::function<void()> m_change;
    bool m_assigning = false;
};
