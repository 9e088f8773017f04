#include "cli/kclipairs.h"

#include "cli/kcliconsole.h"
#include "cli/kclioptions.h"
#include "app/kjsontools.h"
#include "login/ksession.h"
#include "store/kfilesyncdatabase.h"
#include "store/kpaircheck.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>

#include <unistd.h>

namespace {

// The status and ignore type the main page saves a new pair with.
const QString ActiveStatus = QStringLiteral("1");
const QString NoIgnore = QStringLiteral("0");

QString spacesText()
{
    QStringList spaces;
    for (const KSpaceInfo& space : WexoraBase::accessdata.spaces)
        spaces << QLatin1Char('@') + space.spaceid;
    return spaces.join(QStringLiteral(", "));
}

QJsonObject pairObject(const QStringList& row)
{
    return {{"event", "pair"},
            {"id", row.value(0)},
            {"local", row.value(1)},
            {"remote", row.value(2)},
            {"mode", KCliOptions::modeOf(row.value(5))},
            {"paused", KFileSyncDatabase::isPaused(row)}};
}

} // namespace

KCliPairs::KCliPairs(KFileSyncDatabase* store, KCliConsole* console)
    : store(store)
    , console(console)
{
}

QString KCliPairs::localFolderProblem(const QString& path)
{
    const QFileInfo info(path);
    if (!info.exists())
        return QStringLiteral("the local folder %1 does not exist").arg(path);
    if (!info.isDir())
        return QStringLiteral("%1 is a file, not a folder").arg(path);
    const QByteArray name = QFile::encodeName(path);
    if (::access(name.constData(), R_OK | X_OK) != 0)
        return QStringLiteral("the local folder %1 cannot be read (check its permissions)").arg(path);
    return QString();
}

QString KCliPairs::remotePathProblem(const QString& spacePath)
{
    if (!spacePath.startsWith(QLatin1Char('@')) || spacePath.size() < 2 || spacePath.startsWith(QLatin1String("@/")))
        return QStringLiteral("REMOTE is a server folder written @SPACE/PATH, e.g. @home-demo/docs");
    return QString();
}

int KCliPairs::add(const QString& localPath, const QString& spacePath, const QString& mode)
{
    const QString local = QDir::cleanPath(QFileInfo(localPath).absoluteFilePath());
    QString problem = localFolderProblem(local);
    if (problem.isEmpty())
        problem = remotePathProblem(spacePath);
    if (!problem.isEmpty()) {
        console->error(problem);
        return KCliExitUsage;
    }
    const QString syncType = KCliOptions::syncTypeOf(mode.isEmpty() ? QStringLiteral("two-way") : mode);
    const KPairSave save = store->saveSyncConfig(QString(), local, spacePath, ActiveStatus, NoIgnore, syncType);
    if (save.refusal != KPairRefusal::None) {
        const QString code = KPairCheck::code(save.refusal);
        console->error(KPairCheck::text(save.refusal) + QStringLiteral(" [") + code + QStringLiteral("] ") + hint(code));
        return KCliExitUsage;
    }
    const QStringList row = store->getSyncConfigById(KJsonTools::parseStringMap(save.saved).value("id"));
    console->report(QStringLiteral("added pair %1: %2 <-> %3 (%4)")
                        .arg(row.value(0), local, spacePath, KCliOptions::modeOf(syncType)),
                    pairObject(row));
    return KCliExitOk;
}

QString KCliPairs::hint(const QString& refusalCode)
{
    if (refusalCode == QLatin1String("server-missing") || refusalCode == QLatin1String("server-file"))
        return QStringLiteral("Pick a folder that exists on the server; your spaces: ") + spacesText();
    if (refusalCode == QLatin1String("server-unreachable") || refusalCode == QLatin1String("server-refused"))
        return QStringLiteral("Check the server and the login ('wexora-sync login'), then try again.");
    if (refusalCode == QLatin1String("store-failed"))
        return QStringLiteral("Check that the database folder is writable (--base).");
    return QStringLiteral("Check LOCAL.");
}

int KCliPairs::list()
{
    const QList<QStringList> rows = store->getSyncConfigs();
    if (rows.isEmpty() && !console->json())
        console->line(QStringLiteral("no pairs; add one with 'wexora-sync pair add LOCAL REMOTE'"));
    for (const QStringList& row : rows) {
        const QString paused = KFileSyncDatabase::isPaused(row) ? QStringLiteral("  (paused)") : QString();
        console->report(QStringLiteral("%1  %2  %3 <-> %4%5")
                            .arg(row.value(0), KCliOptions::modeOf(row.value(5)).leftJustified(8), row.value(1),
                                 row.value(2), paused),
                        pairObject(row));
    }
    return KCliExitOk;
}

int KCliPairs::remove(const QString& id)
{
    const QStringList row = store->getSyncConfigById(id);
    if (row.isEmpty()) {
        console->error(QStringLiteral("no pair with id %1 (see 'wexora-sync pair list')").arg(id));
        return KCliExitUsage;
    }
    if (!store->deleteSyncConfig(id)) {
        console->error(QStringLiteral("could not remove pair %1: the database refused the change").arg(id));
        return KCliExitUsage;
    }
    QJsonObject removed = pairObject(row);
    removed.insert("event", "removed");
    console->report(QStringLiteral("removed pair %1; both folders stay as they are").arg(id), removed);
    return KCliExitOk;
}
