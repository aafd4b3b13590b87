#include "test_window.h"

#include "pick_release.h"

#include <QComboBox>
#include <QDir>
#include <QPushButton>
#include <QTest>

namespace {

TestPlatformSettings platformSettings(const TestWindowSettings &settings, quint16 serverPort)
{
    TestPlatformSettings made;
    made.timeout = settings.timeout;
    made.authorities = settings.authorities;
    made.retryDelay = settings.retryDelay;
    made.fetchRateWindow = settings.fetchRateWindow;
    if (settings.proxies) {
        made.proxies = settings.proxies(serverPort);
    }
    return made;
}

} // namespace

TestWindow::TestWindow(const TestWindowSettings &settings)
    : m_server(settings.identity ? std::make_unique<TestHttpServer>(
                                       settings.identity->certificate(), settings.identity->key())
                                 : std::make_unique<TestHttpServer>()),
      server(*m_server), platform(platformSettings(settings, server.port())), trust(settings.trust),
      m_folder(settings.folder)
{
    platform.shell.language = settings.language;
    platform.shell.tempFolder = temp.path();
}

void TestWindow::serveManifest(const QByteArray &manifest)
{
    m_manifest = manifest;
    server.serve(path(QStringLiteral("manifest.txt")), TestHttpServer::ok(manifest));
}

void TestWindow::serveRelease(const QString &name, const TestHttpServer::Response &response,
                              const QByteArray &pins, const QByteArray &caption)
{
    file = name;
    body = response.body;
    serveManifest(m_manifest + "W2003\t" + name.toUtf8() + '\t' + caption + pins + '\n');
    server.serve(path(), response);
}

Form1 &TestWindow::make(const QString &root)
{
    form = std::make_unique<Form1>(platform.platform(), root.isEmpty() ? this->root() : root,
                                   trust);
    return *form;
}

bool TestWindow::load(const QString &root)
{
    if (!form) {
        make(root);
    }
    form->Form_Load();
    return !form->hasEnded();
}

void TestWindow::pick(const QString &folder)
{
    form->show();
    pickFirstRelease(*form, folder.isEmpty() ? destination.path() : folder);
}

bool TestWindow::start(const QString &folder)
{
    if (!load()) {
        return false;
    }
    pick(folder);
    return true;
}

bool TestWindow::download(int timeoutMs)
{
    form->Command1->click();
    return QTest::qWaitFor([this] { return platform.programEnd.ends > 0; }, timeoutMs);
}

QStringList TestWindow::items() const
{
    QStringList result;
    for (int i = 0; i < form->ComboVersion->count(); ++i) {
        result.append(form->ComboVersion->itemText(i));
    }
    return result;
}

QString TestWindow::root() const
{
    return server.baseUrl() + m_folder;
}

QByteArray TestWindow::path(const QString &name) const
{
    return '/' + (m_folder + (name.isEmpty() ? file : name)).toUtf8();
}

QString TestWindow::address(const QString &name) const
{
    return root() + (name.isEmpty() ? file : name);
}

QString TestWindow::target(const QString &name) const
{
    return destination.filePath(name.isEmpty() ? file : name);
}

QStringList TestWindow::leftovers() const
{
    return QDir(temp.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System);
}

TestHttpServer &TestWindow::elsewhere()
{
    if (!m_elsewhere) {
        m_elsewhere = std::make_unique<TestHttpServer>();
    }
    return *m_elsewhere;
}
