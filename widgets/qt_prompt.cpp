#include "qt_prompt.h"

#include "runtime_error.h"

#include <QApplication>
#include <QMessageBox>
#include <QWindow>

QWidget *BoxOwner::owner() const
{
    return m_window ? m_window.data() : QApplication::activeWindow();
}

void BoxOwner::askAttention() const
{
    if (!m_window || m_window->isActiveWindow()) {
        return;
    }
    // Wayland has no urgency hint, and Qt's alert does nothing there; an
    // activation request is shown as a demand for attention instead.
    if (QGuiApplication::platformName().startsWith(QLatin1String("wayland"))) {
        if (QWindow *window = m_window->windowHandle()) {
            window->requestActivate();
        }
    } else {
        QApplication::alert(m_window);
    }
}

int QtPrompt::ask(const QString &text, int flags, const QString &title)
{
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    switch (flags & 0x70) {
    case 16:
        icon = QMessageBox::Critical;
        break;
    case PromptFlags::Question:
        icon = QMessageBox::Question;
        break;
    case PromptFlags::Warning:
        icon = QMessageBox::Warning;
        break;
    case PromptFlags::Information:
        icon = QMessageBox::Information;
        break;
    default:
        break;
    }
    const bool yesNo = (flags & 0x0F) == PromptFlags::YesNo;
    QMessageBox box(icon, title, text, yesNo ? QMessageBox::Yes | QMessageBox::No : QMessageBox::Ok,
                    owner());
    // Names from the manifest, a server or the folder are text, never markup.
    box.setTextFormat(Qt::PlainText);
    box.setDefaultButton(yesNo ? QMessageBox::Yes : QMessageBox::Ok);
    askAttention();
    const int button = box.exec();
    if (button == QMessageBox::Yes) {
        return PromptAnswer::Yes;
    }
    return yesNo ? PromptAnswer::No : PromptAnswer::Ok;
}

void QtErrorReport::report(const RuntimeError &error)
{
    QMessageBox box(
        QMessageBox::Critical, QStringLiteral("orbistane-download"),
        QStringLiteral("Run-time error '%1':\n\n%2").arg(error.number()).arg(error.description()),
        QMessageBox::Ok, owner());
    box.setTextFormat(Qt::PlainText);
    askAttention();
    box.exec();
}
