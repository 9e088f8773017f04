#include "sync/kfilesyncmanager.h"

#include "app/kfiletools.h"
#include "app/kinterruption.h"
#include "app/klog.h"
#include "store/kfilesyncdatabase.h"
#include "store/kpartialdownloads.h"
#include "sync/kfoldercomparison.h"
#include "sync/knodetools.h"
#include "sync/kpairlock.h"
#include "sync/kpairstates.h"
#include "store/ksyncconflicts.h"
#include "app/kconstant.h"

#include <QCoreApplication>
#include <algorithm>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>

QString KFileSyncManager::DataDIr;

KFileSyncManager::KFileSyncManager()
    : QThread(nullptr)
{
    DataDIr = QCoreApplication::applicationDirPath() + QStringLiteral("/datas/space");
}

QList<QStringList> KFileSyncManager::listEntries(const QString& dir, bool withDirs, bool withFiles)
{
    QList<QStringList> rows;
    QDir folder(dir);
    if (!folder.exists())
        return rows;
    const auto filter = QDir::Dirs | QDir::Files | QDir::Drives | QDir::NoDot | QDir::NoDotDot;
    for (const QFileInfo& entry : folder.entryInfoList(filter)) {
        if (entry.isFile()) {
            if (withFiles)
                rows.append({entry.fileName(), QStringLiteral("true")});
        } else if (withDirs) {
            rows.append({entry.fileName(), QStringLiteral("false")});
        }
    }
    return rows;
}

QStringList KFileSyncManager::getALLLocalPaths(const QString& dir)
{
    QStringList files;
    if (!QDir(dir).exists())
        return files;
    QSet<QString> branch;
    collectLocal(dir, branch, files);
    // The client's own partial downloads never leave the machine.
    const QSet<QString> partials = KPartialDownloads::all();
    if (!partials.isEmpty())
        files.erase(std::remove_if(files.begin(), files.end(), [&](const QString& f) { return partials.contains(f); }),
                    files.end());
    return files;
}

void KFileSyncManager::collectLocal(const QString& dir, QSet<QString>& branch, QStringList& files)
{
    KInterruption::check();
    // A link back to a folder on the current branch would never end.
    const QString canonical = QFileInfo(dir).canonicalFilePath();
    if (canonical.isEmpty() || branch.contains(canonical)) {
        KLog::info(QStringLiteral("跳过循环链接"), dir);
        return;
    }
    branch.insert(canonical);
    for (const QStringList& row : listEntries(dir, true, true)) {
        const QString full = KFileTools::formatPath(dir + QLatin1Char('/') + row[0]);
        if (row[1] == QLatin1String("true"))
            files.append(full);
        else
            collectLocal(full, branch, files);
    }
    branch.remove(canonical);
}

bool KFileSyncManager::isSafeChildName(const QString& name)
{
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..");
}

QList<KNodeInfo> KFileSyncManager::getALLServerPaths(const QString& dir)
{
    QList<KNodeInfo> files;
    collectServer(dir, 0, files);
    return files;
}

void KFileSyncManager::collectServer(const QString& dir, int depth, QList<KNodeInfo>& files)
{
    if (depth > MaxServerDepth) {
        KLog::info(QStringLiteral("服务器目录层级过深"), dir);
        return;
    }
    KInterruption::check();
    const QList<KNodeInfo> nodes = KNodeTools::parseNodeList(KNodeTools::listDir(dir, true, true));
    KInterruption::check();
    for (const KNodeInfo& node : nodes) {
        const QString name = KFileTools::fileName(node.path);
        if (!isSafeChildName(name)) {
            KLog::info(QStringLiteral("忽略非法路径"), node.path);
            continue;
        }
        const QString path = KFileTools::formatPath(dir + QLatin1Char('/') + name);
        if (!node.isfile) {
            collectServer(path, depth + 1, files);
            continue;
        }
        KNodeInfo copy = node;
        copy.path = path;
        files.append(copy);
    }
}

void KFileSyncManager::syncDir(const QString& localRoot, const QString& spaceRoot, const QString& status,
                               const QString& ignoreType, const QString& syncType)
{
    Q_UNUSED(status)
    Q_UNUSED(ignoreType)
    KFolderComparison(localRoot, spaceRoot).run(syncType);
}

bool KFileSyncManager::syncPair(const QString& id, const QString& localRoot, const QString& spaceRoot,
                                const QString& syncType, const KPassRequest& request)
{
    const KPairLock onePassAtATime(id);
    KPairStates& states = KPairStates::instance();
    states.passStarted(id);
    KFolderComparison comparison(localRoot, spaceRoot);
    comparison.setPairId(id);
    comparison.setRequest(request);
    const bool finished = comparison.run(syncType);
    const int conflicts = KSyncConflicts::current(id, localRoot).size();
    const QString failure = comparison.failure().isEmpty() ? QStringLiteral("比较未完成：无法读取本地或云端文件夹")
                                                           : comparison.failure();
    states.passEnded(id, finished ? QString() : failure, conflicts);
    return finished;
}

QString KFileSyncManager::parsePath(const QString& path, const QString& fromRoot, const QString& toRoot)
{
    return KFolderComparison::parsePath(path, fromRoot, toRoot);
}

bool KFileSyncManager::pairIsReady(const QString& localRoot, const QString& spaceRoot)
{
    if (!QDir(localRoot).exists())
        return false;
    const KNodeInfo node = KNodeTools::parseNode(KNodeTools::getNode(spaceRoot));
    return node.found && !node.isfile;
}

void KFileSyncManager::run()
{
    qInfo() << QStringLiteral("文件同步定时任务开始");
    if (!pause(timing.firstWaitMs))
        return;
    KFileSyncDatabase store;
    try {
        store.initDatabase();
    } catch (...) {
        KLog::info(QStringLiteral("文件同步定时任务结束"), QStringLiteral("无法建立数据库连接"));
        return;
    }
    do {
        emit checkFinished(checkOnce(store));
    } while (pause(timing.checkIntervalMs));
}

int KFileSyncManager::checkOnce(KFileSyncDatabase& store)
{
    const QList<QStringList> rows = store.getSyncConfigs();
    if (rows.isEmpty())
        return 0;
    int passes = 0;
    for (const QStringList& row : rows) {
        if (isInterruptionRequested())
            return passes;
        if (QDateTime::currentSecsSinceEpoch() - KConstant::SYNC_TIME < timing.passGapSeconds)
            continue;
        const QString localRoot = row.value(1);
        const QString spaceRoot = row.value(2);
        if (KFileSyncDatabase::isPaused(row) || !pairIsReady(localRoot, spaceRoot))
            continue;
        KLog::info2(QStringLiteral("文件同步定时任务"), localRoot, spaceRoot);
        syncPair(row.value(0), localRoot, spaceRoot, row.value(5));
        ++passes;
    }
    KConstant::SYNC_TIME = QDateTime::currentSecsSinceEpoch();
    return passes;
}

bool KFileSyncManager::pause(int ms)
{
    return wakeup.sleep(ms) && !isInterruptionRequested();
}

void KFileSyncManager::stop()
{
    requestInterruption();
    wakeup.stop();
}

void KFileSyncManager::wakeUp()
{
    wakeup.wake();
}
