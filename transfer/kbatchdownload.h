#pragma once

#include "transfer/kdownloadinfo.h"

#include <QHash>
#include <QList>
#include <QMap>
#include <QMutex>
#include <QSet>
#include <QString>

// Small new files fetched many to a request ("kbatchdownload"): the
// download thread takes the small jobs at the head of the queue together and
// gets their bytes in one answer, one round trip for many files. A job the
// answer does not carry, and every job for a server that does not know the
// operation, goes the usual way (an address, then a GET).
class KBatchDownload
{
public:
    static constexpr int MaxFiles = 64;
    static constexpr qint64 MaxFileBytes = 256 * 1024;
    static constexpr qint64 MaxBytes = 4 * 1024 * 1024;

    // What the server answered for one file.
    struct Entry
    {
        int code = -1;
        QString dataHash;
        QByteArray content;
    };

    // A new file of a known small version. Looks at the job only: it runs
    // under the queue's lock.
    static bool fits(const KDownloadInfo& job);
    // False once the server at that address answered "unknown operation".
    static bool serverKnowsOperation(const QString& apiUrl);
    static QMap<QString, QString> params(const QList<KDownloadInfo*>& jobs);
    // The entries by server path; empty when the answer is no batch answer.
    // A server that answers "unknown operation" is remembered by its address.
    static QHash<QString, Entry> parse(const QString& answer, const QString& apiUrl);
    // Fills in the bytes of the jobs the server at apiUrl answered.
    static void fetch(QList<KDownloadInfo>& jobs, const QString& apiUrl);

    static void forgetServersForTesting();

private:
    static QHash<QString, Entry> ask(const QList<KDownloadInfo*>& jobs, const QString& apiUrl);
    static void carryContent(KDownloadInfo& job, const Entry& entry);

    static const int UnknownOperationCode = 3;
    static QMutex mutex;
    static QSet<QString> withoutOperation;
};
