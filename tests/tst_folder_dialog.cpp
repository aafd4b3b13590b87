#include "dir_list_box.h"
#include "drive_list_box.h"
#include "form1.h"
#include "form6.h"
#include "messages.h"
#include "test_platform.h"

#include <QApplication>
#include <QDir>
#include <QHash>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <memory>

namespace {

// Drive kinds by designation; every call is recorded, unknown drives throw.
class FakeDrives final : public FileSystem
{
public:
    QHash<QString, DriveInfo> drives;
    QStringList asked;

    bool FileExists(const QString &) override { return false; }
    std::unique_ptr<TextStream> OpenTextFile(const QString &) override { return nullptr; }
    void DeleteFile(const QString &) override {}
    qint64 FreeBytes(const QString &) override { return -1; }
    DriveInfo GetDrive(const QString &designation) override
    {
        asked.append(designation);
        if (!drives.contains(designation)) {
            throw RuntimeError(ErrorNumber::DeviceIo, QStringLiteral("No drive ") + designation);
        }
        return drives.value(designation);
    }
};

} // namespace

class TestFolderDialog final : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void loadStartsOnCurrentDirectory();
    void acceptedDrive_data();
    void acceptedDrive();
    void refusedDrive_data();
    void refusedDrive();
    void refusedStartWarnsTwice();
    void okAfterChangeThatKeptTheDirectory();
    void closingLeavesDestination_data();
    void closingLeavesDestination();
    void openingFolders_data();
    void openingFolders();
    void failureInNestedRunStopsTheHandler();
    void openedFromMainWindow_data();
    void openedFromMainWindow();

private:
    QString path(const QString &relative) const { return m_root->filePath(relative); }
    void addVolume(const QString &mountPoint, const QString &fsType, DriveInfo info);
    Form6 &openDialog(const QString &currentDirectory);
    void choose(const QString &designation);

    std::unique_ptr<QTemporaryDir> m_root;
    QString m_savedDirectory;
    FakeMountTable m_mounts;
    FakeDrives m_drives;
    FakeManagementService m_management;
    ScriptedPrompt m_prompt;
    std::unique_ptr<QLabel> m_destination;
    std::unique_ptr<Form6> m_form;
};

void TestFolderDialog::init()
{
    m_savedDirectory = QDir::currentPath();
    m_root = std::make_unique<QTemporaryDir>();
    QVERIFY(m_root->isValid());
    for (const char *folder : {"fixed/work/alpha", "fixed/work/beta", "other", "usb", "cd",
                               "net/share", "ram", "odd", "idle"}) {
        QVERIFY(QDir().mkpath(path(QLatin1String(folder))));
    }
    m_mounts.list.clear();
    m_drives.drives.clear();
    m_drives.asked.clear();
    m_management.freeByVolume.clear();
    m_management.asked.clear();
    m_prompt.asked.clear();
    m_prompt.answers.clear();

    const DriveInfo readyFixed{DriveType::Fixed, true};
    addVolume(QStringLiteral("/"), QStringLiteral("ext4"), readyFixed);
    addVolume(path("fixed"), QStringLiteral("ext4"), readyFixed);
    addVolume(path("other"), QStringLiteral("xfs"), readyFixed);
    addVolume(path("usb"), QStringLiteral("vfat"), {DriveType::Removable, true});
    addVolume(path("cd"), QStringLiteral("iso9660"), {DriveType::Optical, false});
    addVolume(path("net"), QStringLiteral("nfs"), {DriveType::Network, true});
    addVolume(path("ram"), QStringLiteral("tmpfs"), {DriveType::RamDisk, true});
    addVolume(path("odd"), QStringLiteral("weirdfs"), {DriveType::Unknown, true});
    addVolume(path("idle"), QStringLiteral("ext4"), {DriveType::Fixed, false});
    m_management.freeByVolume.insert(QStringLiteral("/"), QStringLiteral("1000"));
    m_management.freeByVolume.insert(path("fixed"), QStringLiteral("2000"));
    m_management.freeByVolume.insert(path("other"), QStringLiteral("98765432101234"));
    m_destination = std::make_unique<QLabel>(QStringLiteral("/opt/orbistane"));
}

void TestFolderDialog::cleanup()
{
    m_form.reset();
    QDir::setCurrent(m_savedDirectory);
    m_root.reset();
}

void TestFolderDialog::addVolume(const QString &mountPoint, const QString &fsType, DriveInfo info)
{
    m_mounts.list.append({mountPoint, QStringLiteral("dev ") + fsType, fsType});
    m_drives.drives.insert(mountPoint, info);
}

Form6 &TestFolderDialog::openDialog(const QString &currentDirectory)
{
    QDir::setCurrent(currentDirectory);
    m_form =
        std::make_unique<Form6>(Form6Context{m_drives, m_management, m_mounts, m_prompt,
                                             [](int n) { return QStringLiteral("m%1").arg(n); },
                                             QPixmap(37, 49), QIcon(), m_destination.get()});
    m_form->Form_Load();
    m_form->show();
    return *m_form;
}

// As the user does it: the list's own selection, not the program's assignment.
void TestFolderDialog::choose(const QString &designation)
{
    const int index = m_form->Drive->findData(designation);
    QVERIFY(index >= 0);
    m_form->Drive->setCurrentIndex(index);
}

void TestFolderDialog::loadStartsOnCurrentDirectory()
{
    Form6 &form = openDialog(path("fixed/work"));

    QCOMPARE(form.windowTitle(), QStringLiteral("m1"));
    QCOMPARE(form.Label1->text(), QStringLiteral("m19"));
    QCOMPARE(form.Label4->text(), QStringLiteral("m21"));
    QCOMPARE(form.Label3->text(), path("fixed/work"));
    QCOMPARE(form.Dir->path(), path("fixed/work"));
    QCOMPARE(form.Drive->designation(), path("fixed"));
    QVERIFY(form.Drive->drive().startsWith(path("fixed")));
    QCOMPARE(form.Label5->text(), QStringLiteral("2000 Bytes"));
    QCOMPARE(form.LastGoodDrive, path("fixed"));
    QVERIFY2(m_drives.asked.isEmpty(), "the load sequence checks no drive");
    QCOMPARE(form.focusWidget(), form.Drive);

    QTest::mouseClick(form.buttonOK, Qt::LeftButton);
    QCOMPARE(m_destination->text(), path("fixed/work"));
    QVERIFY(!form.isVisible());
}

void TestFolderDialog::acceptedDrive_data()
{
    // clang-format off
    QTest::addColumn<QString>("drive");
    QTest::addColumn<QString>("expectedPath");
    QTest::addColumn<QString>("expectedFree");

    QTest::newRow("root") << "/" << "/" << "1000 Bytes";
    QTest::newRow("another disk, free space in full") << "other" << "other"
                                                      << "98765432101234 Bytes";
    // clang-format on
}

void TestFolderDialog::acceptedDrive()
{
    QFETCH(QString, drive);
    QFETCH(QString, expectedPath);
    const QString designation = drive == QLatin1String("/") ? drive : path(drive);
    const QString target = expectedPath == QLatin1String("/") ? expectedPath : path(expectedPath);
    Form6 &form = openDialog(path("fixed/work"));

    choose(designation);
    QCOMPARE(m_drives.asked, QStringList{designation});
    QVERIFY(m_prompt.asked.isEmpty());
    QCOMPARE(form.Dir->path(), target);
    QCOMPARE(form.Label3->text(), target);
    QTEST(form.Label5->text(), "expectedFree");
    QCOMPARE(form.LastGoodDrive, designation);

    // Assigning the drive the list already holds raises nothing.
    form.Drive->setDrive(designation);
    QCOMPARE(m_drives.asked.size(), 1);

    QTest::mouseClick(form.buttonOK, Qt::LeftButton);
    QCOMPARE(m_destination->text(), target);
}

void TestFolderDialog::refusedDrive_data()
{
    QTest::addColumn<QString>("drive");

    QTest::newRow("removable") << "usb";
    QTest::newRow("optical without media") << "cd";
    QTest::newRow("network") << "net";
    QTest::newRow("ram disk") << "ram";
    QTest::newRow("unknown") << "odd";
    QTest::newRow("fixed, not ready") << "idle";
}

void TestFolderDialog::refusedDrive()
{
    QFETCH(QString, drive);
    Form6 &form = openDialog(path("fixed/work"));
    // A folder opened before the refusal is not kept.
    form.Dir->setPath(path("fixed/work/alpha"));
    QCOMPARE(form.Label3->text(), path("fixed/work/alpha"));
    m_management.asked.clear();

    choose(path(drive));

    QCOMPARE(m_prompt.asked.size(), 1);
    QCOMPARE(m_prompt.asked.at(0).text, QStringLiteral("m20"));
    QCOMPARE(m_prompt.asked.at(0).flags, 48);
    QCOMPARE(m_prompt.asked.at(0).title, QStringLiteral("m1"));
    QCOMPARE(m_drives.asked, (QStringList{path(drive), path("fixed")}));
    QCOMPARE(form.Drive->designation(), path("fixed"));
    QCOMPARE(form.LastGoodDrive, path("fixed"));
    QCOMPARE(form.Dir->path(), path("fixed/work"));
    QCOMPARE(form.Label3->text(), path("fixed/work"));
    QCOMPARE(m_management.asked, QStringList{path("fixed")});
    QCOMPARE(form.Label5->text(), QStringLiteral("2000 Bytes"));
}

void TestFolderDialog::refusedStartWarnsTwice()
{
    Form6 &form = openDialog(path("net/share"));
    QVERIFY(m_prompt.asked.isEmpty());
    QCOMPARE(form.Label5->text(), QStringLiteral("123456789 Bytes"));
    QCOMPARE(form.LastGoodDrive, path("net"));

    choose(path("usb"));

    QCOMPARE(m_prompt.asked.size(), 2);
    for (const AskedPrompt &box : std::as_const(m_prompt.asked)) {
        QCOMPARE(box.text, QStringLiteral("m20"));
        QCOMPARE(box.flags, 48);
    }
    QCOMPARE(m_drives.asked, (QStringList{path("usb"), path("net")}));
    QCOMPARE(m_management.asked.size(), 1);
    QCOMPARE(form.Drive->designation(), path("net"));
    QCOMPARE(form.LastGoodDrive, path("net"));
    // The directory list never moved, so the path label keeps the bare designation.
    QCOMPARE(form.Dir->path(), path("net/share"));
    QCOMPARE(form.Label3->text(), path("net"));

    // A ready fixed disk is still accepted, and from then on is the one restored.
    choose(path("other"));
    QCOMPARE(form.LastGoodDrive, path("other"));
    QCOMPARE(m_prompt.asked.size(), 2);
}

void TestFolderDialog::okAfterChangeThatKeptTheDirectory()
{
    Form6 &form = openDialog(path("fixed/work"));
    choose(path("cd"));
    QCOMPARE(m_prompt.asked.size(), 1);
    QCOMPARE(form.Dir->path(), path("fixed/work"));
    QCOMPARE(form.Label3->text(), path("fixed"));

    QTest::mouseClick(form.buttonOK, Qt::LeftButton);
    QCOMPARE(m_destination->text(), path("fixed"));
}

void TestFolderDialog::closingLeavesDestination_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<bool>("closes");

    QTest::newRow("cancel button") << "cancel" << true;
    QTest::newRow("close box") << "close" << true;
    QTest::newRow("escape is no cancel") << "escape" << false;
}

void TestFolderDialog::closingLeavesDestination()
{
    QFETCH(QString, how);
    QFETCH(bool, closes);
    Form6 &form = openDialog(path("fixed/work"));
    choose(QStringLiteral("/"));

    if (how == QLatin1String("cancel")) {
        QTest::mouseClick(form.buttonCANCEL, Qt::LeftButton);
    } else if (how == QLatin1String("close")) {
        form.close();
    } else {
        QTest::keyClick(form.Drive, Qt::Key_Escape);
    }
    QCOMPARE(form.isVisible(), !closes);
    QCOMPARE(m_destination->text(), QStringLiteral("/opt/orbistane"));
}

void TestFolderDialog::openingFolders_data()
{
    // clang-format off
    QTest::addColumn<QString>("how");
    QTest::addColumn<QString>("expected");

    QTest::newRow("double-click subfolder") << "double-click" << "fixed/work/beta";
    QTest::newRow("enter on subfolder") << "enter" << "fixed/work/beta";
    QTest::newRow("double-click parent") << "double-click parent" << "fixed";
    QTest::newRow("click only highlights") << "click" << "fixed/work";
    QTest::newRow("arrow only highlights") << "arrow" << "fixed/work";
    // clang-format on
}

void TestFolderDialog::openingFolders()
{
    QFETCH(QString, how);
    Form6 &form = openDialog(path("fixed/work"));
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    const QString beta = path("fixed/work/beta");
    const QString target = how == QLatin1String("double-click parent") ? path("fixed") : beta;
    const QList<QTreeWidgetItem *> items =
        form.Dir->findItems(QFileInfo(target).fileName(), Qt::MatchExactly | Qt::MatchRecursive);
    QCOMPARE(items.size(), 1);
    const QPoint centre = form.Dir->visualItemRect(items.at(0)).center();

    if (how.startsWith(QLatin1String("double-click"))) {
        // A real double-click starts with a single one.
        QTest::mouseClick(form.Dir->viewport(), Qt::LeftButton, {}, centre);
        QTest::mouseDClick(form.Dir->viewport(), Qt::LeftButton, {}, centre);
    } else if (how == QLatin1String("enter")) {
        form.Dir->setFocus();
        form.Dir->setCurrentItem(items.at(0));
        QTest::keyClick(form.Dir, Qt::Key_Return);
    } else if (how == QLatin1String("click")) {
        QTest::mouseClick(form.Dir->viewport(), Qt::LeftButton, {}, centre);
        QCOMPARE(form.Dir->currentItem(), items.at(0));
    } else {
        form.Dir->setFocus();
        QTest::keyClick(form.Dir, Qt::Key_Down);
        QVERIFY(form.Dir->currentItem()->text(0) != QLatin1String("work"));
    }
    QFETCH(QString, expected);
    QCOMPARE(form.Label3->text(), path(expected));
    QCOMPARE(form.Dir->path(), path(expected));
    QVERIFY(m_drives.asked.isEmpty());
}

void TestFolderDialog::failureInNestedRunStopsTheHandler()
{
    Form6 &form = openDialog(path("fixed/work"));
    form.Dir->setPath(path("fixed/work/alpha"));
    form.hide();
    // The drive to return to has gone away by the time the user picks a bad one.
    m_drives.drives.remove(path("fixed"));

    QTimer::singleShot(0, &form, [this] { choose(path("usb")); });
    QVERIFY_THROWS_EXCEPTION(RuntimeError, form.showModal());

    QVERIFY(!form.isVisible());
    QCOMPARE(m_prompt.asked.size(), 1);
    QCOMPARE(m_drives.asked, (QStringList{path("usb"), path("fixed")}));
    // Nothing after the failing step ran.
    QCOMPARE(form.Dir->path(), path("fixed/work/alpha"));
    QCOMPARE(m_destination->text(), QStringLiteral("/opt/orbistane"));
}

void TestFolderDialog::openedFromMainWindow_data()
{
    // clang-format off
    QTest::addColumn<QString>("action");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<int>("reports");

    QTest::newRow("ok") << "ok" << "fixed/work" << 0;
    QTest::newRow("cancel") << "cancel" << "" << 0;
    QTest::newRow("platform failure") << "fail" << "" << 1;
    // clang-format on
}

void TestFolderDialog::openedFromMainWindow()
{
    QFETCH(QString, action);
    QFETCH(QString, expected);
    QFETCH(int, reports);

    TestPlatform platform;
    LanguageId = QString::number(InitLanguage(platform.shell));
    platform.mounts.list = {
        {QStringLiteral("/"), QStringLiteral("/dev/vda1"), QStringLiteral("ext4")},
        {path("fixed"), QStringLiteral("/dev/vdb1"), QStringLiteral("ext4")},
        {path("usb"), QStringLiteral("/dev/vdc1"), QStringLiteral("ext4")}};
    QDir::setCurrent(path("fixed/work"));
    Form1 form1(platform.platform(), QStringLiteral("http://127.0.0.1:1/"));
    const QString before = form1.Label4->text();

    bool acted = false;
    QTimer::singleShot(0, &form1, [&] {
        auto *dialog = qobject_cast<Form6 *>(QApplication::activeModalWidget());
        QVERIFY(dialog);
        acted = true;
        QCOMPARE(dialog->Label5->text(), QStringLiteral("123456789 Bytes"));
        if (action == QLatin1String("ok")) {
            dialog->buttonOK->click();
        } else if (action == QLatin1String("cancel")) {
            dialog->buttonCANCEL->click();
        } else {
            // Unmounted while the dialog is open: the drive check fails.
            platform.mounts.list.removeLast();
            dialog->Drive->setCurrentIndex(dialog->Drive->findData(path("usb")));
        }
    });
    form1.ButtonFolder->click();

    QVERIFY(acted);
    QVERIFY(!QApplication::activeModalWidget());
    QCOMPARE(form1.Label4->text(), expected.isEmpty() ? before : path(expected));
    QCOMPARE(platform.errorReport.reports.size(), reports);
    QCOMPARE(platform.programEnd.ends, reports);
    if (reports > 0) {
        QVERIFY(platform.errorReport.lastDescription().contains(path("usb")));
    }
}

QTEST_MAIN(TestFolderDialog)
#include "tst_folder_dialog.moc"
