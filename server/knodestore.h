#pragma once

#include <QList>
#include <QSqlDatabase>
#include <QString>

#include <optional>

class KStorage;

struct KVersionRecord
{
    qint64 version = 0;
    QString dataHash; // lower-case hex MD5
    qint64 dataSize = 0;
    QString vuser;
    qint64 vtime = 0; // milliseconds since the epoch
};

struct KNodeRecord
{
    qint64 id = 0; // 0 for a space root, which has no row
    QString spaceId;
    QString relative;
    bool isFile = false;
    QString cuser;
    qint64 ctime = 0;
    QList<KVersionRecord> versions; // newest first
};

// Files, folders and file versions of all spaces. A space root always exists
// and has no row; every other node has its parent folder as a row (or the
// root). The write functions run inside a transaction of KStorage::write.
class KNodeStore
{
public:
    enum class Outcome { Done, Conflict, NotFound, Failed };

    explicit KNodeStore(KStorage& storage);

    std::optional<KNodeRecord> find(const QString& spaceId, const QString& relative);
    // Descendants down to `depth` levels below the folder, ordered by path.
    QList<KNodeRecord> descendants(const QString& spaceId, const QString& relative, int depth);

    // Creates the folder and its missing ancestors. Conflict when one of
    // them is a file.
    Outcome makeFolders(QSqlDatabase& db, const QString& spaceId, const QString& relative,
                        const QString& user, qint64 nowMs);
    // Adds a version to the file, creating it (and its folders) when missing.
    Outcome addVersion(QSqlDatabase& db, const QString& spaceId, const QString& relative,
                       const KVersionRecord& version, bool createFile, bool createVersion);

private:
    // -1: no row; otherwise the row's isfile (0 or 1). Returns the id too.
    int kindOf(QSqlDatabase& db, const QString& spaceId, const QString& relative, qint64* id);
    bool insertNode(QSqlDatabase& db, const QString& spaceId, const QString& relative, bool isFile,
                    const QString& user, qint64 nowMs, qint64* id);
    QList<KNodeRecord> readNodes(QSqlQuery& query);

    KStorage& storage;
};
