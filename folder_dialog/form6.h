#pragma once

#include "runtime_error.h"

#include <QDialog>
#include <QIcon>
#include <QPixmap>
#include <QString>

#include <functional>
#include <optional>

class DirListBox;
class DriveListBox;
class FileSystem;
class ManagementService;
class MountTable;
class Prompt;
class QFrame;
class QLabel;
class QPushButton;

// What the folder dialog needs from the program around it.
struct Form6Context
{
    FileSystem &fileSystem;
    ManagementService &management;
    MountTable &mounts;
    Prompt &prompt;
    std::function<QString(int)> message; // message n in the current language
    QPixmap logo;
    QIcon windowIcon;
    QLabel *destination = nullptr; // the main window's folder caption, set by OK
};

// The modal destination folder dialog. Its lists start on the process's current
// directory; OK hands the path shown in Label3 to the main window.
class Form6 final : public QDialog
{
    Q_OBJECT

public:
    explicit Form6(Form6Context context, QWidget *parent = nullptr);
    ~Form6() override;

    // Runs before the dialog is first shown. Failures propagate to the caller.
    void Form_Load();

    // Shows the dialog modally and returns once it has closed. A platform failure
    // in a handler closes the dialog and is thrown again from here, so that it
    // reaches the caller's error handling rather than the event loop.
    void showModal();

    // The designation of the drive last accepted.
    QString LastGoodDrive;

    // Controls.
    QLabel *Image1 = nullptr;
    QLabel *Label1 = nullptr;
    QLabel *Label2 = nullptr;
    QLabel *Label3 = nullptr;
    QLabel *Label4 = nullptr;
    QLabel *Label5 = nullptr;
    QFrame *Line1 = nullptr;
    QFrame *Line2 = nullptr;
    QFrame *Line3 = nullptr;
    DriveListBox *Drive = nullptr;
    DirListBox *Dir = nullptr;
    QPushButton *buttonOK = nullptr;
    QPushButton *buttonCANCEL = nullptr;

protected:
    void keyPressEvent(QKeyEvent *event) override;

private:
    void createControls();
    void fillLists();

    void Drive_Change();
    void Dir_Change();
    void buttonOK_Click();
    void buttonCANCEL_Click();
    bool IsDriveUsable(const QString &designation);
    void ShowFreeSpace(const QString &designation);

    // Runs a handler. Raised from the event loop, a platform failure is kept and
    // the dialog closes; raised inside another handler or the load sequence, it
    // propagates to that one.
    template <typename Handler> void runEvent(Handler &&handler);

    Form6Context m_context;
    int m_handlerDepth = 0;
    std::optional<RuntimeError> m_failure;
};
