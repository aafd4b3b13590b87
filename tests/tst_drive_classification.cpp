#include "dir_list_box.h"
#include "drive_list_box.h"
#include "fakes.h"
#include "file_system.h"
#include "form6.h"
#include "linux_drives.h"
#include "linux_file_system.h"
#include "messages.h"
#include "runtime_error.h"
#include "small_tmpfs.h"
#include "test_files.h"

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

class TestDriveClassification final : public QObject
{
    Q_OBJECT

private slots:
    void classifyDrive_data();
    void classifyDrive();
    void parseMountLine_data();
    void parseMountLine();
    void listedVolumes_data();
    void listedVolumes();
    void removableDevice_data();
    void removableDevice();
    void driveCurrentDirectory_data();
    void driveCurrentDirectory();
    void realTmpfsIsRefused();
};

void TestDriveClassification::classifyDrive_data()
{
    // clang-format off
    QTest::addColumn<QString>("fsType");
    QTest::addColumn<QString>("device");
    QTest::addColumn<bool>("removable");
    QTest::addColumn<int>("expected");

    QTest::newRow("ext4 disk") << "ext4" << "/dev/sda1" << false << DriveType::Fixed;
    QTest::newRow("btrfs") << "btrfs" << "/dev/mapper/root" << false << DriveType::Fixed;
    QTest::newRow("zfs dataset") << "zfs" << "rpool/ROOT/default" << false << DriveType::Fixed;
    QTest::newRow("overlay") << "overlay" << "overlay" << false << DriveType::Fixed;
    QTest::newRow("vfat fixed") << "vfat" << "/dev/sda1" << false << DriveType::Fixed;
    QTest::newRow("ntfs via fuseblk") << "fuseblk" << "/dev/sda3" << false << DriveType::Fixed;
    QTest::newRow("vfat stick") << "vfat" << "/dev/sdb1" << true << DriveType::Removable;
    QTest::newRow("exfat card") << "exfat" << "/dev/mmcblk0p1" << true << DriveType::Removable;
    QTest::newRow("ext4 usb disk") << "ext4" << "/dev/sdc1" << true << DriveType::Removable;
    QTest::newRow("nfs") << "nfs" << "server:/export" << false << DriveType::Network;
    QTest::newRow("cifs") << "cifs" << "//server/share" << false << DriveType::Network;
    QTest::newRow("sshfs") << "fuse.sshfs" << "me@host:/home/me" << false << DriveType::Network;
    QTest::newRow("old sshfs") << "fuse" << "sshfs#me@host:" << false << DriveType::Network;
    QTest::newRow("9p") << "9p" << "hostshare" << false << DriveType::Network;
    QTest::newRow("rclone remote") << "fuse.rclone" << "gdrive:" << false << DriveType::Network;
    QTest::newRow("unknown remote") << "newfs" << "host:/path" << false << DriveType::Network;
    QTest::newRow("network beats removable") << "nfs" << "srv:/x" << true << DriveType::Network;
    QTest::newRow("iso9660 dvd") << "iso9660" << "/dev/sr0" << true << DriveType::Optical;
    QTest::newRow("udf") << "udf" << "/dev/sr1" << true << DriveType::Optical;
    QTest::newRow("iso image on loop") << "iso9660" << "/dev/loop3" << false
                                       << DriveType::Optical;
    QTest::newRow("odd fs on cd drive") << "hfsplus" << "/dev/sr0" << true << DriveType::Optical;
    QTest::newRow("tmpfs") << "tmpfs" << "tmpfs" << false << DriveType::RamDisk;
    QTest::newRow("unknown type") << "weirdfs" << "/dev/sdd1" << false << DriveType::Unknown;
    QTest::newRow("unknown fuse") << "fuse.mystery" << "mystery" << false << DriveType::Unknown;
    QTest::newRow("unknown on removable") << "weirdfs" << "/dev/sdd1" << true
                                          << DriveType::Removable;
    // clang-format on
}

void TestDriveClassification::classifyDrive()
{
    QFETCH(QString, fsType);
    QFETCH(QString, device);
    QFETCH(bool, removable);
    QFETCH(int, expected);
    QCOMPARE(::classifyDrive(fsType, device, removable), expected);
}

void TestDriveClassification::parseMountLine_data()
{
    // clang-format off
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QString>("device");
    QTest::addColumn<QString>("mountPoint");
    QTest::addColumn<QString>("fsType");

    QTest::newRow("plain") << QByteArray("/dev/sda1 / ext4 rw,relatime 0 0") << true
                           << "/dev/sda1" << "/" << "ext4";
    QTest::newRow("escaped blank")
        << QByteArray("/dev/sdb1 /media/me/My\\040Stick vfat rw 0 0") << true << "/dev/sdb1"
        << "/media/me/My Stick" << "vfat";
    QTest::newRow("blank, tab, backslash")
        << QByteArray("//srv/a\\040b /mnt/x\\011y\\134z cifs rw 0 0") << true << "//srv/a b"
        << "/mnt/x\ty\\z" << "cifs";
    QTest::newRow("backslash without octal")
        << QByteArray("/dev/sdc1 /mnt/a\\9b\\12 ext4 rw 0 0") << true << "/dev/sdc1"
        << "/mnt/a\\9b\\12" << "ext4";
    QTest::newRow("utf-8 name") << QByteArray("/dev/sdc1 /media/caf\xc3\xa9 ext4 rw 0 0")
                                << true << "/dev/sdc1" << QString::fromUtf8("/media/caf\xc3\xa9")
                                << "ext4";
    QTest::newRow("empty") << QByteArray("") << false << "" << "" << "";
    QTest::newRow("two fields") << QByteArray("/dev/sda1 /") << false << "" << "" << "";
    // clang-format on
}

void TestDriveClassification::parseMountLine()
{
    QFETCH(QByteArray, line);
    QFETCH(bool, valid);
    const std::optional<Volume> volume = ::parseMountLine(line);
    QCOMPARE(volume.has_value(), valid);
    if (valid) {
        QTEST(volume->device, "device");
        QTEST(volume->mountPoint, "mountPoint");
        QTEST(volume->fsType, "fsType");
    }
}

void TestDriveClassification::listedVolumes_data()
{
    // clang-format off
    QTest::addColumn<QByteArray>("mounts");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("pseudo file systems left out")
        << QByteArray("proc /proc proc rw 0 0\n"
                      "sysfs /sys sysfs rw 0 0\n"
                      "/dev/vda / ext4 rw 0 0\n"
                      "devpts /dev/pts devpts rw 0 0\n"
                      "cgroup2 /sys/fs/cgroup cgroup2 rw 0 0\n"
                      "mqueue /dev/mqueue mqueue rw 0 0\n"
                      "hugetlbfs /dev/hugepages hugetlbfs rw 0 0\n"
                      "sunrpc /run/rpc_pipefs rpc_pipefs rw 0 0\n"
                      "/dev/loop0 /snap/core/1 squashfs ro 0 0\n"
                      "tmpfs /run tmpfs rw 0 0\n"
                      "/dev/sdb1 /media/me/My\\040Stick vfat rw 0 0\n")
        << QStringList{"/", "/run", "/media/me/My Stick"};
    QTest::newRow("mounted inside system trees")
        << QByteArray("/dev/vda / ext4 rw 0 0\n"
                      "udev /dev devtmpfs rw 0 0\n"
                      "tmpfs /dev/shm tmpfs rw 0 0\n"
                      "sysfs /sys sysfs rw 0 0\n"
                      "tmpfs /sys/fs/cgroup tmpfs rw 0 0\n"
                      "tmpfs /devices tmpfs rw 0 0\n")
        << QStringList{"/", "/devices"};
    QTest::newRow("later mount hides earlier")
        << QByteArray("/dev/vda / ext4 rw 0 0\n"
                      "systemd-1 /boot/efi autofs rw 0 0\n"
                      "/dev/vda1 /boot/efi vfat rw 0 0\n")
        << QStringList{"/", "/boot/efi"};
    QTest::newRow("bind mount over a file")
        << QByteArray("/dev/vda / ext4 rw 0 0\n"
                      "/dev/vda /etc/passwd ext4 rw 0 0\n")
        << QStringList{"/"};
    QTest::newRow("malformed lines skipped")
        << QByteArray("\n/dev/vda / ext4 rw 0 0\nnonsense\n") << QStringList{"/"};
    // clang-format on
}

void TestDriveClassification::listedVolumes()
{
    QFETCH(QByteArray, mounts);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString file = dir.filePath(QStringLiteral("mounts"));
    QVERIFY(writeFile(file, mounts));

    QStringList listed;
    for (const Volume &volume : LinuxMountTable(file).volumes()) {
        listed.append(volume.mountPoint);
    }
    QTEST(listed, "expected");
}

void TestDriveClassification::removableDevice_data()
{
    QTest::addColumn<QString>("device");
    QTest::addColumn<bool>("expected");

    QTest::newRow("partition of removable disk") << "/dev/sdb1" << true;
    QTest::newRow("removable whole disk") << "/dev/sdb" << true;
    QTest::newRow("partition of fixed disk") << "/dev/sda2" << false;
    QTest::newRow("not in sysfs") << "/dev/sdz9" << false;
    QTest::newRow("not a device") << "tmpfs" << false;
}

void TestDriveClassification::removableDevice()
{
    QFETCH(QString, device);
    QTemporaryDir sys;
    QVERIFY(sys.isValid());
    // The kernel's layout: class/block holds links into devices/, a partition
    // is a folder inside its disk's folder with a "partition" file.
    const auto write = [&](const QString &path, const QByteArray &text) {
        QVERIFY(QDir().mkpath(QFileInfo(sys.filePath(path)).path()));
        QVERIFY(writeFile(sys.filePath(path), text));
    };
    write(QStringLiteral("devices/usb/sdb/removable"), "1\n");
    write(QStringLiteral("devices/usb/sdb/sdb1/partition"), "1\n");
    write(QStringLiteral("devices/usb/sdb/sdb1/removable"), "0\n");
    write(QStringLiteral("devices/ata/sda/removable"), "0\n");
    write(QStringLiteral("devices/ata/sda/sda2/partition"), "2\n");
    QVERIFY(QDir().mkpath(sys.filePath(QStringLiteral("class/block"))));
    for (const char *link : {"usb/sdb", "usb/sdb/sdb1", "ata/sda/sda2"}) {
        const QString target = QStringLiteral("../../devices/") + QLatin1String(link);
        QVERIFY(QFile::link(
            target, sys.filePath(QStringLiteral("class/block/") + QFileInfo(target).fileName())));
    }
    QTEST(isRemovableDevice(device, sys.filePath(QStringLiteral("class/block"))), "expected");
}

void TestDriveClassification::driveCurrentDirectory_data()
{
    // clang-format off
    QTest::addColumn<QString>("designation");
    QTest::addColumn<QString>("currentDirectory");
    QTest::addColumn<QString>("expected");

    QTest::newRow("process on the drive") << "/home" << "/home/me/work" << "/home/me/work";
    QTest::newRow("process on the mount point") << "/home" << "/home" << "/home";
    QTest::newRow("process on another drive") << "/media/usb" << "/home/me" << "/media/usb";
    QTest::newRow("process on a drive inside it") << "/" << "/home/me" << "/";
    QTest::newRow("process on root volume") << "/" << "/srv/data" << "/srv/data";
    QTest::newRow("name sharing a prefix") << "/home" << "/homework/a" << "/home";
    QTest::newRow("blank in mount point") << "/home/me/My Disk" << "/home/me/My Disk/x"
                                          << "/home/me/My Disk/x";
    // clang-format on
}

void TestDriveClassification::driveCurrentDirectory()
{
    QFETCH(QString, designation);
    QFETCH(QString, currentDirectory);
    const QStringList mountPoints{"/", "/home", "/home/me/My Disk", "/media/usb"};
    QTEST(::driveCurrentDirectory(designation, currentDirectory, mountPoints), "expected");
}

void TestDriveClassification::realTmpfsIsRefused()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString mountPoint = dir.path();
    const SmallTmpfs mount(mountPoint, QStringLiteral("1m"));
    if (!mount.mounted()) {
        QSKIP(qPrintable(QStringLiteral("Cannot mount a tmpfs here (%1); no real volume checked")
                             .arg(mount.failure())));
    }

    LinuxMountTable mounts;
    LinuxFileSystem fileSystem(mounts);
    const DriveInfo drive = fileSystem.GetDrive(mountPoint);
    QCOMPARE(drive.drivetype, DriveType::RamDisk);
    QVERIFY(drive.IsReady);

    LinuxManagementService management;
    const QRegularExpression digits(QStringLiteral("^[0-9]+$"));
    const QString rootFree = management.FreeSpace(QStringLiteral("/"));
    QVERIFY2(digits.match(rootFree).hasMatch(), qPrintable(rootFree));
    const QString tmpfsFree = management.FreeSpace(mountPoint);
    QVERIFY2(digits.match(tmpfsFree).hasMatch(), qPrintable(tmpfsFree));
    QVERIFY(tmpfsFree.toULongLong() > 0 && tmpfsFree.toULongLong() <= 1024 * 1024);

    const DriveInfo root = fileSystem.GetDrive(QStringLiteral("/"));
    QVERIFY(root.IsReady);
    // A folder that is no volume is no drive.
    QVERIFY_THROWS_EXCEPTION(RuntimeError, fileSystem.GetDrive(mountPoint + "/nothing"));

    // Picked in the folder dialog, opened on the root disk, the tmpfs is refused.
    if (root.drivetype != DriveType::Fixed) {
        QSKIP("The root volume is no fixed disk here; the dialog would refuse it too");
    }
    FakeShell english;
    LanguageId = QString::number(InitLanguage(english));
    ScriptedPrompt prompt;
    QLabel destination(QStringLiteral("/opt/orbistane"));
    const QString savedDirectory = QDir::currentPath();
    QVERIFY(QDir::setCurrent(QStringLiteral("/")));
    const auto restoreDirectory = qScopeGuard([&] { QDir::setCurrent(savedDirectory); });
    Form6 dialog({fileSystem, management, mounts, prompt, [](int n) { return message(n); },
                  QPixmap(), QIcon(), &destination});
    dialog.Form_Load();
    QCOMPARE(dialog.Drive->designation(), QStringLiteral("/"));
    const int listed = dialog.Drive->findData(mountPoint);
    QVERIFY2(listed >= 0, "the tmpfs is not in the drive list");

    dialog.Drive->setCurrentIndex(listed);

    QCOMPARE(prompt.asked.size(), 1);
    QCOMPARE(prompt.asked.at(0).text, QStringLiteral("Unit no validate."));
    QCOMPARE(prompt.asked.at(0).flags, PromptFlags::Warning);
    QCOMPARE(prompt.asked.at(0).title, QStringLiteral(" OnLine Download Orbistane."));
    QCOMPARE(dialog.Drive->designation(), QStringLiteral("/"));
    QCOMPARE(dialog.LastGoodDrive, QStringLiteral("/"));
    dialog.buttonOK->click();
    QVERIFY2(!destination.text().startsWith(mountPoint), qPrintable(destination.text()));
}

QTEST_MAIN(TestDriveClassification)
#include "tst_drive_classification.moc"
