#pragma once

#include <QStringList>
#include <QTreeWidget>

#include <functional>

// The directory list: the folders from "/" down to the open folder, then the
// open folder's subfolders. Opening an entry (double-click or Enter) makes it
// the list's path; merely highlighting one does not.
class DirListBox final : public QTreeWidget
{
    Q_OBJECT

public:
    explicit DirListBox(QWidget *parent = nullptr);

    // Starts on path, knowing the drives' mount points; raises no change.
    void populate(const QStringList &mountPoints, const QString &path);

    // The open folder's full path; it ends in "/" only at the root.
    QString path() const;

    // Opens the folder at path. Raises the change, before returning, when the
    // path is a different one. Throws RuntimeError when there is no such folder.
    void setPath(const QString &path);

    // Opens the current directory of the drive with that designation: the
    // process's current directory when it lies on that drive, else the drive's
    // mount point. Raises the change like setPath.
    void setDrive(const QString &designation);

    // Runs on every change of the path. A change made by setPath or setDrive
    // calls it directly, so whatever it throws reaches the caller.
    void setChangeHandler(std::function<void()> handler);

protected:
    void keyPressEvent(QKeyEvent *event) override;
    // Entries do not fold, so no branch marks are drawn; the indent stays.
    void drawBranches(QPainter *, const QRect &, const QModelIndex &) const override {}

private:
    void fill();
    void open(QTreeWidgetItem *item);
    bool moveTo(const QString &path);

    QStringList m_mountPoints;
    QString m_path;
    std::function<void()> m_change;
};

// A drive's current directory as DirListBox::setDrive opens it.
QString driveCurrentDirectory(const QString &designation, const QString &currentDirectory,
                              const QStringList &mountPoints);
