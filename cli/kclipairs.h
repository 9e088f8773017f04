#pragma once

#include <QString>
#include <QStringList>

class KCliConsole;
class KFileSyncDatabase;

// pair add, pair list and pair remove: the folder pairs of the main page, in
// the same table, through the same checks, refused with the same sentences.
class KCliPairs
{
public:
    KCliPairs(KFileSyncDatabase* store, KCliConsole* console);

    // The session must be logged in (the server folder is checked there).
    int add(const QString& localPath, const QString& spacePath, const QString& mode);
    int list();
    int remove(const QString& id);

    // Why a local folder cannot be paired or synced ("" when it can): missing,
    // not a folder, or not readable.
    static QString localFolderProblem(const QString& path);
    // Why a server path is malformed ("" when it is fine).
    static QString remotePathProblem(const QString& spacePath);

private:
    static QString hint(const QString& refusalCode);

    KFileSyncDatabase* store;
    KCliConsole* console;
};
