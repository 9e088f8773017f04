#pragma once

#include <QHash>
#include <QList>
#include <QString>

// One transfer that ended without its file in place.
struct KTransferFailure
{
    int type = 0; // 1 download, 2 upload
    QString localPath;
    QString reason;
};

// What the queued transfers add up to, fed by the transfer signals: every
// queued job is announced once and ends once; a failure is told before its
// end. Rows are keyed by direction and local path.
class KTransferTally
{
public:
    void queued(int type, const QString& localPath, qint64 size);
    void progressed(int type, const QString& localPath, int percent);
    void failed(int type, const QString& localPath, const QString& reason);
    // The end of a row; true when it had failed.
    bool ended(int type, const QString& localPath);

    int outstanding() const { return filesTotal() - filesDone() - filesFailed(); }
    int filesTotal() const { return total; }
    int filesDone() const { return uploadsDone + downloadsDone; }
    int filesFailed() const { return failures.size(); }
    int uploaded() const { return uploadsDone; }
    int downloaded() const { return downloadsDone; }
    qint64 bytesTotal() const { return totalBytes; }
    // Finished files plus the finished share of the running ones.
    qint64 bytesDone() const;
    const QList<KTransferFailure>& failureList() const { return failures; }

private:
    struct Row
    {
        qint64 size = 0;
        int percent = 0;
        int count = 0; // the same file queued again before it ended
        QString failure;
        bool hasFailed = false;
    };
    static QString key(int type, const QString& localPath);

    QHash<QString, Row> rows;
    QList<KTransferFailure> failures;
    int total = 0;
    int uploadsDone = 0;
    int downloadsDone = 0;
    qint64 totalBytes = 0;
    qint64 finishedBytes = 0;
};
