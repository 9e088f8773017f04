#include "app/kfiletools.h"
#include "app/klog.h"
#include "app/kmainwindow.h"

#include <QDir>
#include <QGuiApplication>

int main(int argc, char* argv[])
{
    KMainWindow app(argc, argv);
    QGuiApplication::setQuitOnLastWindowClosed(true);

    const QString logDir = KFileTools::appBaseDir() + QStringLiteral("/logs");
    if (!QDir(logDir).exists())
        KFileTools::makePath(logDir);
    qInstallMessageHandler(KLog::outputMessage);
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling, true);

    return 0;
}
