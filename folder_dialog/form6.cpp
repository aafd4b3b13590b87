#include "form6.h"

#include "controls.h"
#include "diagnostics.h"
#include "dir_list_box.h"
#include "drive_list_box.h"
#include "file_system.h"
#include "management_service.h"
#include "mount_table.h"
#include "prompt.h"
#include "twips.h"

#include <QDir>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QScopedValueRollback>
#include <QScreen>

namespace {

QPushButton *makeButton(QWidget *parent, const QString &caption, const QRect &geometry)
{
    auto *button = new QPushButton(caption, parent);
    button->setGeometry(geometry);
    // Enter and Escape are not bound to either button.
    button->setAutoDefault(false);
    button->setDefault(false);
    return button;
}

} // namespace

Form6::Form6(Form6Context context, QWidget *parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint),
      m_context(std::move(context))
{
    setModal(true);
    setWindowIcon(m_context.windowIcon);
    setFixedSize(twips(6225), twips(4215));
    createControls();
    fillLists();

    Drive->setChangeHandler([this] { runEvent([this] { Drive_Change(); }); });
    Dir->setChangeHandler([this] { runEvent([this] { Dir_Change(); }); });
    connect(buttonOK, &QPushButton::clicked, this,
            [this] { runEvent([this] { buttonOK_Click(); }); });
    connect(buttonCANCEL, &QPushButton::clicked, this,
            [this] { runEvent([this] { buttonCANCEL_Click(); }); });

    if (const QScreen *screen = QGuiApplication::primaryScreen()) {
        move(screen->availableGeometry().center() - rect().center());
    }
}

Form6::~Form6() = default;

void Form6::createControls()
{
    // Created back to front: a later sibling is drawn over an earlier one, and the
    // lists and buttons over every label, line and the picture.
    Label4 = makeLabel(this, twipsRect(120, 3720, 2775, 255));
    QPalette blue = Label4->palette();
    blue.setColor(QPalette::WindowText, QColor(0, 0, 255));
    Label4->setPalette(blue);
    Label5 = makeLabel(this, twipsRect(120, 3960, 2655, 255));
    Label2 = makeLabel(this, twipsRect(0, 0, 6255, 975));
    setWhiteBackground(Label2);
    Line3 = makeLine(this, QRect(0, twips(3480), twips(6240), 2), Qt::white);
    Line2 = makeLine(this, QRect(0, twips(3480), twips(6240), 1), Qt::black);
    Label1 = makeLabel(this, twipsRect(120, 120, 6135, 255));
    setWhiteBackground(Label1);
    QFont prompt(QStringLiteral("MS Sans Serif"));
    prompt.setPointSizeF(9.75);
    Label1->setFont(prompt);
    Line1 = makeLine(this, QRect(0, twips(960), twips(6240), 1),
                     palette().color(QPalette::WindowText));
    Label3 = makeLabel(this, twipsRect(360, 480, 5055, 255));
    setWhiteBackground(Label3);
    Label3->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    Image1 = makeLabel(this, twipsRect(5520, 120, 555, 735));
    Image1->setPixmap(m_context.logo);

    buttonCANCEL = makeButton(this, QStringLiteral("&Cancel"), twipsRect(4680, 3720, 1455, 375));
    buttonOK = makeButton(this, QStringLiteral("&OK"), twipsRect(3000, 3720, 1455, 375));
    Dir = new DirListBox(this);
    Dir->setGeometry(twipsRect(120, 1440, 6015, 1890));
    Drive = new DriveListBox(this);
    Drive->setGeometry(twipsRect(120, 1080, 6015, 315));

    setTabOrder(Drive, Dir);
    setTabOrder(Dir, buttonOK);
    setTabOrder(buttonOK, buttonCANCEL);
    Drive->setFocus();
}

void Form6::fillLists()
{
    // Both lists start where the process stands, whatever kind of drive that is.
    const QList<Volume> volumes = m_context.mounts.volumes();
    QStringList mountPoints;
    for (const Volume &volume : volumes) {
        mountPoints.append(volume.mountPoint);
    }
    const QString currentDirectory = QDir::currentPath();
    Drive->populate(volumes, mountPointOf(currentDirectory, mountPoints));
    Dir->populate(mountPoints, currentDirectory);
}

void Form6::Form_Load()
{
    const QScopedValueRollback inHandler(m_handlerDepth, m_handlerDepth + 1);
    setWindowTitle(m_context.message(1));
    Label1->setText(m_context.message(19));
    Label3->setText(Dir->path());
    Label4->setText(m_context.message(21));
    ShowFreeSpace(Drive->designation());
    LastGoodDrive = Drive->designation();
}

void Form6::showModal()
{
    exec();
    if (m_failure) {
        const RuntimeError failure = *m_failure;
        m_failure.reset();
        throw failure;
    }
}

void Form6::keyPressEvent(QKeyEvent *event)
{
    // Escape does not close the dialog: it has no cancel button.
    if (event->matches(QKeySequence::Cancel)) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

template <typename Handler> void Form6::runEvent(Handler &&handler)
{
    if (m_failure) {
        return;
    }
    if (m_handlerDepth > 0) {
        handler();
        return;
    }
    const QScopedValueRollback inHandler(m_handlerDepth, 1);
    try {
        handler();
    } catch (const RuntimeError &error) {
        // Nothing of Qt's lies between here and the handler; beyond here it would.
        m_failure = error;
        done(QDialog::Rejected);
    }
}

void Form6::Drive_Change()
{
    const QString designation = Drive->designation();
    Label3->setText(designation);
    if (IsDriveUsable(designation)) {
        Dir->setDrive(designation);
        ShowFreeSpace(designation);
        LastGoodDrive = designation;
    } else {
        qCInfo(lcFolder).noquote()
            << designation << "is refused: only a local disk that is ready is accepted";
        m_context.prompt.ask(m_context.message(20), PromptFlags::Warning, m_context.message(1));
        Drive->setDrive(LastGoodDrive);
        Dir->setDrive(LastGoodDrive);
    }
}

void Form6::Dir_Change()
{
    Label3->setText(Dir->path());
}

void Form6::buttonOK_Click()
{
    if (m_context.destination) {
        m_context.destination->setText(Label3->text());
    }
    done(QDialog::Accepted);
}

void Form6::buttonCANCEL_Click()
{
    done(QDialog::Rejected);
}

bool Form6::IsDriveUsable(const QString &designation)
{
    // Both properties are read every time, the type first.
    const DriveInfo drive = m_context.fileSystem.GetDrive(designation);
    const bool fixed = drive.drivetype == DriveType::Fixed;
    const bool ready = drive.IsReady;
    return fixed && ready;
}

void Form6::ShowFreeSpace(const QString &designation)
{
    Label5->setText(m_context.management.FreeSpace(designation) + QStringLiteral(" Bytes"));
}
