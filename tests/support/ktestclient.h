#pragma once

#include "sync/kpassrequest.h"
#include "transfer/kdownloadinfo.h"
#include "transfer/kuploadinfo.h"

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>
#include <QTemporaryDir>

// One desktop client of a test with several: its own base directory (store,
// journal, caches) and local folder. A sync runs one pass of its pair on the
// test's thread with the real comparison, then carries out the jobs with the
// real upload and download code, one after another, so a test can sync
// client A, then client B, and compare whole trees in between.
class KTestClient
{
public:
    KTestClient();

    // Makes this client's base directory the process's.
    void activate() const;
    QString localRoot() const { return local.path(); }
    QString localPath(const QString& rel) const { return local.path() + QLatin1Char('/') + rel; }
    // Saves the pair (two-way with edits by default); "" when refused.
    QString addPair(const QString& spacePath, const QString& syncType = QStringLiteral("3"));
    // One pass and its jobs; true when every job ended well. The request
    // narrows the pass or carries confirmed deletions.
    bool syncOnce(const KPassRequest& request = KPassRequest());
    QString id() const { return pairId; }
    // The two halves of a sync, for a test that changes files in between.
    QList<KUploadInfo> collectUploads();
    bool runUploads(const QList<KUploadInfo>& jobs);
    int uploadsLastSync() const { return uploads; }
    int downloadsLastSync() const { return downloads; }

    // Every file below the local folder but hidden ones: relative path -> bytes.
    QMap<QString, QByteArray> files() const;
    bool write(const QString& rel, const QByteArray& bytes) const;
    // A file or a whole folder, gone for good (as a user would empty it).
    bool remove(const QString& rel) const;
    // The names in the desktop's trash (XDG_DATA_HOME/Trash/files) of this process.
    static QStringList trashed();

private:
    bool pass(QList<KUploadInfo>& uploadJobs, QList<KDownloadInfo>& downloadJobs,
              const KPassRequest& request = KPassRequest());
    bool runUpload(const KUploadInfo& job);
    bool runDownload(const KDownloadInfo& job);

    QTemporaryDir base;
    QTemporaryDir local;
    QString pairId;
    QString spacePath;
    QString syncType;
    int uploads = 0;
    int downloads = 0;
};
