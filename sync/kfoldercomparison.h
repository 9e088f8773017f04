#pragma once

#include "sync/knodeinfo.h"
#include "sync/kpassrequest.h"
#include "transfer/kdownloadinfo.h"
#include "transfer/kuploadinfo.h"

#include <QHash>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>
#include <functional>

// Where a comparison hands its jobs; by default the upload and download queues.
struct KJobSink
{
    std::function<void(const QList<KUploadInfo>&)> uploads;
    std::function<void(const QList<KDownloadInfo>&)> downloads;

    static KJobSink queues();
};

// Compares one local folder with one server folder in one direction and
// queues what each side lacks, in batches. It never deletes, renames or
// overwrites anything: a download is queued only where nothing exists locally.
class KFolderComparison
{
public:
    KFolderComparison(const QString& localRoot, const QString& spaceRoot, KJobSink sink = KJobSink::queues());

    // "1" upload only, "2" download only, "3" two-way with edits (needs the
    // pair's id for its journal), anything else both ways, filling gaps.
    // False when the comparison could not finish (a listing failed, a stop).
    bool run(const QString& syncType);
    void setPairId(const QString& id) { pairId = id; }
    // How much of the pair the two-way direction looks at, and which
    // deletions the user confirmed; a whole pass by default.
    void setRequest(const KPassRequest& passRequest) { request = passRequest; }

    // A batch is handed over as soon as it holds more than this many jobs.
    static const int BatchLimit = 100;
    // Paths asked about in one "kgetnodes" (the most a server takes).
    static const int NodesPerRequest = 1000;

    static QString parsePath(const QString& path, const QString& fromRoot, const QString& toRoot);
    // Why the last run did not finish, in words for the user; "" when it did.
    QString failure() const { return failureText; }

private:
    void uploadOnly();
    void uploadOnlyChunk(const QStringList& files);
    // `answered` is false when the server gave no readable answer.
    QHash<QString, KNodeInfo> nodesAt(const QStringList& targets, bool& answered) const;
    static KServerKnown nodeKnown(const KNodeInfo& node);
    void downloadOnly();
    void bothWays();
    bool twoWay();

    bool hasContent(const KNodeInfo& node, const QString& md5) const;
    KUploadInfo uploadJob(const QString& localFile, const QString& target) const;
    KDownloadInfo downloadJob(const KNodeInfo& node, const QString& target) const;
    QString mapped(const QString& path, const QString& fromRoot, const QString& toRoot) const;
    void addUpload(const KUploadInfo& job);
    void addDownload(const KDownloadInfo& job);
    void flushUploads();
    void flushDownloads();

    QString localRoot;
    QString spaceRoot;
    QString pairId;
    KPassRequest request;
    QString failureText;
    KJobSink sink;
    QList<KUploadInfo> uploadBatch;
    QList<KDownloadInfo> downloadBatch;
};
