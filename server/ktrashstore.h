#pragma once

#include "server/knodestore.h"

#include <QList>
#include <QSqlDatabase>
#include <QString>
#include <QVariantList>

#include <optional>

class KStorage;

// One removal: a file, or a folder with everything below it, as it was when
// it left the tree.
struct KTrashEntry
{
    qint64 id = 0;
    QString spaceId;
    QString relative; // where it was, inside its space
    bool isFile = false;
    QString removedBy;
    qint64 removedAt = 0;     // milliseconds since the epoch
    QList<KNodeRecord> nodes; // the node and its subtree by path, every version kept

    int fileCount() const;
};

// The per-space trash. Removing moves a node's rows (with its subtree and
// all versions) from the tree tables into the trash tables and restoring
// moves them back, each inside a transaction of KStorage::write; contents
// stay in the content store either way. Entry ids are never reused, so an
// old id can never name a newer entry.
class KTrashStore
{
public:
    static constexpr qint64 KeepMilliseconds = 30LL * 86400 * 1000;

    explicit KTrashStore(KStorage& storage);

    // Creates the trash tables when they are missing.
    bool prepare(QString* error);

    // Moves the node (a row of the tree, not a space root) and its subtree
    // into a new entry; the entry id, or 0 on failure.
    qint64 moveIn(QSqlDatabase& db, const KNodeRecord& node, const QString& user, qint64 nowMs);
    // Puts the entry's nodes back with the top node at `target`, whose parent
    // folder must exist and which must be free, and drops the entry.
    bool moveOut(QSqlDatabase& db, const KTrashEntry& entry, const QString& target);
    // Drops the entries removed before `ms`; how many went.
    int purgeBefore(qint64 ms);

    // Entries of a space, oldest first, with their nodes.
    QList<KTrashEntry> entries(const QString& spaceId);
    std::optional<KTrashEntry> entry(const QString& spaceId, qint64 id);

private:
    QList<KTrashEntry> readEntries(const QString& where, const QVariantList& values);
    QList<KNodeRecord> nodesOf(const KTrashEntry& entry);

    KStorage& storage;
};
