#include "form1.h"

#include "form6.h"
#include "logo.h"
#include "messages.h"

#include <QLabel>

void Form1::ButtonFolder_Click()
{
    // The dialog has no owner window; its load sequence runs before it shows.
    Form6 folderDialog({m_platform.fileSystem, m_platform.management, m_platform.mounts,
                        m_platform.prompt, [](int n) { return message(n); }, drawLogo(),
                        drawWindowIcon(), Label4});
    folderDialog.Form_Load();
    folderDialog.showModal();
}
