#include "dir_list_box.h"

#include "mount_table.h"
#include "runtime_error.h"

#include <QDir>
#include <QFileInfo>
#include <QHeaderView>
#include <QKeyEvent>
#include <QStyle>

namespace {

constexpr int PathRole = Qt::UserRole;

QTreeWidgetItem *makeItem(const QString &text, const QString &path, const QIcon &icon)
{
    auto *item = new QTreeWidgetItem(QStringList(text));
    item->setData(0, PathRole, path);
    item->setIcon(0, icon);
    return item;
}

} // namespace

QString driveCurrentDirectory(const QString &designation, const QString &currentDirectory,
                              const QStringList &mountPoints)
{
    if (mountPointOf(currentDirectory, mountPoints) == designation) {
        return currentDirectory;
    }
    return designation;
}

DirListBox::DirListBox(QWidget *parent) : QTreeWidget(parent)
{
    setHeaderHidden(true);
    setColumnCount(1);
    setRootIsDecorated(false);
    setItemsExpandable(false);
    setExpandsOnDoubleClick(false);
    setIndentation(12);
    setSelectionMode(QAbstractItemView::SingleSelection);
    connect(this, &QTreeWidget::itemDoubleClicked, this,
            [this](QTreeWidgetItem *item) { open(item); });
}

void DirListBox::populate(const QStringList &mountPoints, const QString &path)
{
    m_mountPoints = mountPoints;
    moveTo(path);
}

QString DirListBox::path() const
{
    return m_path;
}

void DirListBox::setPath(const QString &path)
{
    if (moveTo(path) && m_change) {
        m_change();
    }
}

void DirListBox::setDrive(const QString &designation)
{
    setPath(driveCurrentDirectory(designation, QDir::currentPath(), m_mountPoints));
}

void DirListBox::setChangeHandler(std::function<void()> handler)
{
    m_change = std::move(handler);
}

void DirListBox::keyPressEvent(QKeyEvent *event)
{
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && currentItem()) {
        open(currentItem());
        event->accept();
        return;
    }
    QTreeWidget::keyPressEvent(event);
}

bool DirListBox::moveTo(const QString &path)
{
    const QString cleaned = QDir::cleanPath(path);
    if (!QFileInfo(cleaned).isDir()) {
        throw RuntimeError(ErrorNumber::PathAccess,
                           QStringLiteral("Path not found: \"%1\"").arg(path));
    }
    if (cleaned == m_path) {
        return false;
    }
    m_path = cleaned;
    fill();
    return true;
}

void DirListBox::open(QTreeWidgetItem *item)
{
    const QString target = item->data(0, PathRole).toString();
    // A folder removed since the list was filled is dropped, not opened.
    if (!QFileInfo(target).isDir()) {
        fill();
        return;
    }
    setPath(target);
}

void DirListBox::fill()
{
    clear();
    const QIcon openFolder = style()->standardIcon(QStyle::SP_DirOpenIcon);
    const QIcon closedFolder = style()->standardIcon(QStyle::SP_DirClosedIcon);

    // The chain from the root down to the open folder, each inside the one above.
    QTreeWidgetItem *current = makeItem(QStringLiteral("/"), QStringLiteral("/"), openFolder);
    addTopLevelItem(current);
    QString walked;
    for (const QString &part : m_path.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        walked += QLatin1Char('/') + part;
        auto *child = makeItem(part, walked, openFolder);
        current->addChild(child);
        current = child;
    }

    const QFileInfoList folders = QDir(m_path).entryInfoList(
        QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name | QDir::IgnoreCase | QDir::LocaleAware);
    for (const QFileInfo &folder : folders) {
        current->addChild(makeItem(folder.fileName(), folder.absoluteFilePath(), closedFolder));
    }
    expandAll();
    setCurrentItem(current);
}
