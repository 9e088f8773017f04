#include "server/ktrashcommands.h"

#include "server/knodestore.h"
#include "server/kserverconfig.h"
#include "server/kserverpath.h"
#include "server/kstorage.h"
#include "server/ktrashrestore.h"
#include "server/ktrashstore.h"
#include "server/kuserstore.h"

#include <QDateTime>

namespace
{
KTrashCommands::Result failed(const QString& error)
{
    return KTrashCommands::Result{1, QString(), error};
}

QString entryLine(const KTrashEntry& entry)
{
    const QString when = QDateTime::fromMSecsSinceEpoch(entry.removedAt, Qt::UTC).toString(Qt::ISODate);
    return QStringList{QString::number(entry.id), when, entry.removedBy,
                       entry.isFile ? QStringLiteral("file") : QStringLiteral("folder"),
                       QString::number(entry.fileCount()), KServerPath::join(entry.spaceId, entry.relative)}
               .join(QLatin1Char('\t'))
           + QLatin1Char('\n');
}

// Opens the root and checks the space; empty when both are fine.
QString openSpace(KStorage& storage, KTrashStore& trash, const QString& spaceId)
{
    QString error;
    if (!storage.open(&error) || !trash.prepare(&error))
        return error;
    KUserStore users(storage);
    return users.findSpace(spaceId) ? QString() : QStringLiteral("no such space: @") + spaceId;
}
}

namespace KTrashCommands
{
Result list(const KCommandLine& line)
{
    KStorage storage(line.config.root, line.config.syncWrites);
    KTrashStore trash(storage);
    const QString spaceId = line.arguments.at(0);
    const QString error = openSpace(storage, trash, spaceId);
    if (!error.isEmpty())
        return failed(error);
    Result result;
    for (const KTrashEntry& entry : trash.entries(spaceId))
        result.output += entryLine(entry);
    return result;
}

Result restore(const KCommandLine& line)
{
    KStorage storage(line.config.root, line.config.syncWrites);
    KTrashStore trash(storage);
    KNodeStore nodes(storage);
    const QString spaceId = line.arguments.at(0);
    const QString error = openSpace(storage, trash, spaceId);
    if (!error.isEmpty())
        return failed(error);
    const qint64 entryId = line.arguments.at(1).toLongLong();
    const KTrashRestore::Result restored = KTrashRestore(storage, nodes, trash).restore(spaceId, entryId, line.restoreTo);
    if (restored.path.isEmpty())
        return failed(restored.error);
    return Result{0, QStringLiteral("restored entry %1 to %2\n").arg(entryId).arg(restored.path), QString()};
}
}
