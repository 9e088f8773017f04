#include "server/ktrashrestore.h"

#include "server/knodestore.h"
#include "server/kserverpath.h"
#include "server/kstorage.h"
#include "server/ktrashstore.h"

#include <QDateTime>

namespace
{
constexpr int MaxAttempts = 1000;
}

KTrashRestore::KTrashRestore(KStorage& storage, KNodeStore& nodes, KTrashStore& trash)
    : storage(storage)
    , nodes(nodes)
    , trash(trash)
{
}

QString KTrashRestore::besideName(const QString& name, bool isFile, int attempt)
{
    if (attempt == 0)
        return name;
    const QString mark = attempt == 1 ? QStringLiteral(" (restored)") : QStringLiteral(" (restored %1)").arg(attempt);
    const int dot = isFile ? name.lastIndexOf(QLatin1Char('.')) : -1;
    return dot > 0 ? name.left(dot) + mark + name.mid(dot) : name + mark;
}

std::optional<QString> KTrashRestore::freePlace(const KServerPath& wanted, bool isFile)
{
    const QString parent = wanted.parentRelative();
    for (int attempt = 0; attempt < MaxAttempts; ++attempt) {
        const QString name = besideName(wanted.name(), isFile, attempt);
        const QString relative = parent.isEmpty() ? name : parent + QLatin1Char('/') + name;
        if (!KServerPath::isValidName(name))
            return std::nullopt;
        if (!nodes.find(wanted.spaceId, relative))
            return relative;
    }
    return std::nullopt;
}

std::optional<KServerPath> KTrashRestore::wantedPlace(const KTrashEntry& entry, const QString& to, QString* error)
{
    const KServerPath wanted = KServerPath::parse(KServerPath::join(entry.spaceId, to.isEmpty() ? entry.relative : to));
    if (wanted.valid && !wanted.isRoot())
        return wanted;
    *error = QStringLiteral("cannot restore to %1: %2").arg(to, wanted.valid ? QStringLiteral("the space root") : wanted.error);
    return std::nullopt;
}

bool KTrashRestore::moveBack(QSqlDatabase& db, const KTrashEntry& entry, const KServerPath& wanted, Result* result)
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (nodes.makeFolders(db, wanted.spaceId, wanted.parentRelative(), QStringLiteral("admin"), now) != KNodeStore::Outcome::Done) {
        result->error = QStringLiteral("a file is in the way of %1; choose another place with --to")
                            .arg(KServerPath::join(wanted.spaceId, wanted.parentRelative()));
        return false;
    }
    const std::optional<QString> place = freePlace(wanted, entry.isFile);
    if (!place) {
        result->error = QStringLiteral("no free name beside ") + wanted.full();
        return false;
    }
    if (!trash.moveOut(db, entry, *place)) {
        result->error = QStringLiteral("the entry could not be restored");
        return false;
    }
    result->path = KServerPath::join(wanted.spaceId, *place);
    return true;
}

KTrashRestore::Result KTrashRestore::restore(const QString& spaceId, qint64 entryId, const QString& to)
{
    Result result;
    const bool committed = storage.write([&](QSqlDatabase& db) {
        // Looked up inside the transaction: two restores of one entry cannot both succeed.
        const std::optional<KTrashEntry> entry = trash.entry(spaceId, entryId);
        if (!entry)
            result.error = QStringLiteral("no entry %1 in the trash of @%2").arg(entryId).arg(spaceId);
        const std::optional<KServerPath> wanted = entry ? wantedPlace(*entry, to, &result.error) : std::nullopt;
        return wanted && moveBack(db, *entry, *wanted, &result);
    });
    if (!committed && result.error.isEmpty())
        result.error = QStringLiteral("the database refused the restore");
    if (!committed)
        result.path.clear();
    return result;
}
