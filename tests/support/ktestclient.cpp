#include "ktestclient.h"

#include "app/kconstant.h"
#include "app/kfiletools.h"
#include "app/kjsontools.h"
#include "store/kfilesyncdatabase.h"
#include "sync/kfoldercomparison.h"
#include "transfer/kdownloadmanager.h"
#include "transfer/kdownloadtransfer.h"
#include "transfer/kuploadmanager.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QDirIterator>
#include <QFile>
#include <QNetworkAccessManager>
#include <QSignalSpy>
#include <QtTest>

KTestClient::KTestClient()
{
    activate();
    KFileSyncDatabase().initDatabase();
}

void KTestClient::activate() const
{
    KFileTools::setAppBaseDirForTesting(base.path());
}

QString KTestClient::addPair(const QString& space, const QString& type)
{
    activate();
    spacePath = space;
    syncType = type;
    pairId = KJsonTools::parseStringMap(KFileSyncDatabase().addSyncConfig("", local.path(), space, "1", "0", type))
                 .value(QStringLiteral("id"));
    return pairId;
}

bool KTestClient::pass(QList<KUploadInfo>& uploadJobs, QList<KDownloadInfo>& downloadJobs,
                       const KPassRequest& request)
{
    activate();
    KJobSink sink;
    sink.uploads = [&](const QList<KUploadInfo>& jobs) { uploadJobs += jobs; };
    sink.downloads = [&](const QList<KDownloadInfo>& jobs) { downloadJobs += jobs; };
    KFolderComparison comparison(local.path(), spacePath, sink);
    comparison.setPairId(pairId);
    comparison.setRequest(request);
    const bool ok = comparison.run(syncType);
    uploads = uploadJobs.size();
    downloads = downloadJobs.size();
    return ok;
}

bool KTestClient::syncOnce(const KPassRequest& request)
{
    QList<KUploadInfo> uploadJobs;
    QList<KDownloadInfo> downloadJobs;
    bool ok = pass(uploadJobs, downloadJobs, request);
    ok = runUploads(uploadJobs) && ok;
    for (const KDownloadInfo& job : downloadJobs)
        ok = runDownload(job) && ok;
    return ok;
}

QList<KUploadInfo> KTestClient::collectUploads()
{
    QList<KUploadInfo> uploadJobs;
    QList<KDownloadInfo> downloadJobs;
    pass(uploadJobs, downloadJobs);
    return uploadJobs;
}

bool KTestClient::runUploads(const QList<KUploadInfo>& jobs)
{
    activate();
    bool ok = true;
    for (const KUploadInfo& job : jobs)
        ok = runUpload(job) && ok;
    return ok;
}

bool KTestClient::runUpload(const KUploadInfo& job)
{
    KUploadManager uploader;
    uploader.prepareWorker();
    QSignalSpy failed(&uploader, &KUploadManager::failFileItem);
    uploader.runJob(job);
    return failed.isEmpty();
}

bool KTestClient::runDownload(const KDownloadInfo& job)
{
    QNetworkAccessManager network;
    KFileSyncDatabase store;
    KDownloadTransfer transfer(&network, &store);
    KDownloadManager downloads;
    QObject::connect(&downloads, &KDownloadManager::handOver, &transfer, &KDownloadTransfer::download);
    QSignalSpy failedCheck(&downloads, &KDownloadManager::failFileItem);
    QSignalSpy failed(&transfer, &KDownloadTransfer::failFileItem);
    try {
        downloads.downloadFile(job);
    } catch (...) {
        return false;
    }
    if (!QTest::qWaitFor([&transfer] { return !KConstant::IsDownloading && !transfer.isRunning(); }, 60000))
        return false;
    return failed.isEmpty() && failedCheck.isEmpty();
}

QMap<QString, QByteArray> KTestClient::files() const
{
    QMap<QString, QByteArray> tree;
    QDirIterator it(local.path(), QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        QFile file(path);
        file.open(QIODevice::ReadOnly);
        tree.insert(path.mid(local.path().size() + 1), file.readAll());
    }
    return tree;
}

// Saved a minute ago, as far as the clock of the file says: a stamp read
// right after a save is not trusted to show the next edit, so a pass would
// read the file again at once, which a test about hashing would mistake for
// a change.
bool KTestClient::write(const QString& rel, const QByteArray& bytes) const
{
    QDir().mkpath(KFileTools::parentPath(localPath(rel)));
    QFile file(localPath(rel));
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size() && file.flush()
           && file.setFileTime(QDateTime::currentDateTime().addSecs(-60), QFileDevice::FileModificationTime);
}

bool KTestClient::remove(const QString& rel) const
{
    const QString path = localPath(rel);
    return QFileInfo(path).isDir() ? QDir(path).removeRecursively() : QFile::remove(path);
}

QStringList KTestClient::trashed()
{
    const QString files = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + "/Trash/files";
    QStringList names = QDir(files).entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot);
    names.sort();
    return names;
}
