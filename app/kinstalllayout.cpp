#include "app/kinstalllayout.h"

#include "app/kfiletools.h"

#include <QDir>
#include <QFile>

#include <unistd.h>

namespace {

QString baseOf(const QString& exeDir)
{
    return KFileTools::parentPath(KFileTools::parentPath(exeDir));
}

bool isSystemInstall(const KInstallLayout::Facts& facts)
{
    // An AppDir's own pages win: `cmake --install --prefix DIR` puts both.
    return !facts.basePages && facts.sharedPages;
}

} // namespace

KInstallLayout KInstallLayout::decide(const Facts& facts)
{
    const QString base = baseOf(facts.exeDir);
    const bool system = isSystemInstall(facts);
    KInstallLayout layout;
    layout.installDir = system ? KFileTools::parentPath(facts.exeDir) + QStringLiteral("/share/wexora") : base;
    // Root can write to / and /usr: a system install still keeps user data apart.
    layout.dataDir = !system && facts.baseWritable ? base : userDataDir(facts.xdgDataHome, facts.home);
    return layout;
}

KInstallLayout::Facts KInstallLayout::gather(const QString& exeDir)
{
    Facts facts;
    facts.exeDir = exeDir;
    const QString base = baseOf(exeDir);
    facts.baseWritable = !base.isEmpty() && ::access(QFile::encodeName(base).constData(), W_OK) == 0;
    facts.basePages = QDir(base + QStringLiteral("/page")).exists();
    facts.sharedPages = QDir(KFileTools::parentPath(exeDir) + QStringLiteral("/share/wexora/page")).exists();
    facts.xdgDataHome = qEnvironmentVariable("XDG_DATA_HOME");
    facts.home = QDir::homePath();
    return facts;
}

QString KInstallLayout::userDataDir(const QString& xdgDataHome, const QString& home)
{
    if (xdgDataHome.startsWith(QLatin1Char('/')))
        return KFileTools::formatPath(xdgDataHome + QStringLiteral("/wexora"));
    return KFileTools::formatPath(home + QStringLiteral("/.local/share/wexora"));
}
