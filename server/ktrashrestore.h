#pragma once

#include <QSqlDatabase>
#include <QString>

#include <optional>

class KNodeStore;
class KStorage;
class KTrashStore;
struct KServerPath;
struct KTrashEntry;

// Brings a trash entry back into its space, with every version. A restore
// never overwrites: when the place is taken, the entry goes beside it under
// the first free name "name (restored)", "name (restored 2)", ... (before
// the extension of a file). Missing parent folders are created.
class KTrashRestore
{
public:
    struct Result
    {
        QString path;  // the server path restored to; empty on failure
        QString error;
    };

    KTrashRestore(KStorage& storage, KNodeStore& nodes, KTrashStore& trash);

    // `to`: a path inside the space; empty for where the entry was.
    Result restore(const QString& spaceId, qint64 entryId, const QString& to);

    // The name for the attempt'th try: the name itself for 0.
    static QString besideName(const QString& name, bool isFile, int attempt);

private:
    static std::optional<KServerPath> wantedPlace(const KTrashEntry& entry, const QString& to, QString* error);
    bool moveBack(QSqlDatabase& db, const KTrashEntry& entry, const KServerPath& wanted, Result* result);
    std::optional<QString> freePlace(const KServerPath& wanted, bool isFile);

    KStorage& storage;
    KNodeStore& nodes;
    KTrashStore& trash;
};
