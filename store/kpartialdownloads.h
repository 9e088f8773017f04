#pragma once

#include <QSet>
#include <QString>

// Where one download writes its bytes before they are complete, and whether
// what is already there may be kept.
struct KPartialPlan
{
    QString tempPath;
    // The file there is ours and holds a prefix of this very version.
    bool resumable = false;
};

// The partial downloads this client wrote itself (table k_driver_partials):
// temporary path, target, server version and the file's inode. Only a
// partial found here, with the recorded inode, is ever appended to,
// truncated or deleted; a file of that name that the user made stays as it
// is and the download goes through another temporary name. Scans leave the
// recorded partials out, so they never leave the machine.
class KPartialDownloads
{
public:
    static KPartialPlan plan(const QString& localPath, const QString& serverPath, qint64 size,
                             const QString& dataHash);
    // The partial now exists as this inode.
    static void opened(const QString& tempPath, qint64 inode);
    static void forget(const QString& tempPath);
    // Every recorded temporary path.
    static QSet<QString> all();
    // The recorded temporary paths below a folder, relative to it.
    static QSet<QString> below(const QString& folder);
    // "<target>.wexora" unless that name is taken by a file of the user's.
    static QString preferredName(const QString& localPath);
    static QString alternativeName(const QString& localPath, int attempt);

    static QString createStatement();
    static QString indexStatement();

private:
    struct Record;
    static bool recordFor(const QString& localPath, Record& record);
    static QString freeName(const QString& localPath);
    static bool recorded(const QString& tempPath);
    static void write(const Record& record);
};
