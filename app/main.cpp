#include "api/ktlssettings.h"
#include "app/kapprestart.h"
#include "app/kfiletools.h"
#include "app/klog.h"
#include "app/kmainwindow.h"
#include "login/klogin.h"
#include "main/kmain.h"

#include <QDialog>
#include <QDir>
#include <QGuiApplication>

namespace {

// Certificates the user trusted in earlier runs: every request, the login's
// included, accepts them from the start.
void loadPinnedCertificates()
{
    const int count = KTlsSettings::loadPins(KTlsSettings::pinFilePath());
    if (count > 0)
        KLog::info(QStringLiteral("已加载信任的证书"), QString::number(count));
}

// After a successful login: the main window with the application's event
// loop, whose result decides about a restart before the window goes. A main
// window that cannot open its database has told the user so; then no loop runs.
void runMainWindow()
{
    KMain window;
    KAppRestart::restartIfAsked(window.runEventLoop());
}

} // namespace

int main(int argc, char* argv[])
{
    // Both attributes only take effect when set before the application object exists.
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling, true);
    KMainWindow app(argc, argv);
    QGuiApplication::setQuitOnLastWindowClosed(true);

    const QString logDir = KFileTools::appBaseDir() + QStringLiteral("/logs");
    if (!QDir(logDir).exists())
        KFileTools::makePath(logDir);
    qInstallMessageHandler(KLog::outputMessage);
    loadPinnedCertificates();

    KLogin login;
    if (login.exec() == QDialog::Accepted)
        runMainWindow();
    return 0;
}
