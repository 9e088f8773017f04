#include "main/ktraystatus.h"

#include "main/ktransferlist.h"

void KTrayStatus::queued(const QString& localPath, qint64 bytes)
{
    // A new round starts when nothing was waiting: its counts start afresh.
    if (pending.isEmpty()) {
        filesQueued = filesEnded = filesFailed = 0;
        bytesQueued = bytesEnded = 0;
    }
    bytes = qMax<qint64>(0, bytes);
    pending.insert(localPath, bytes);
    filesQueued += 1;
    bytesQueued += bytes;
}

// A failed job's finish follows its failure and is not another file's.
void KTrayStatus::finished(const QString& localPath)
{
    const int owed = owedFinishes.value(localPath);
    if (owed > 0) {
        if (owed > 1)
            owedFinishes.insert(localPath, owed - 1);
        else
            owedFinishes.remove(localPath);
        return;
    }
    ended(localPath);
}

void KTrayStatus::failed(const QString& localPath)
{
    if (!pending.contains(localPath))
        return;
    filesFailed += 1;
    owedFinishes.insert(localPath, owedFinishes.value(localPath) + 1);
    ended(localPath);
}

void KTrayStatus::ended(const QString& localPath)
{
    const auto it = pending.find(localPath);
    if (it == pending.end())
        return;
    bytesEnded += it.value();
    filesEnded += 1;
    pending.erase(it);
}

void KTrayStatus::setPairs(int busy, int failing, const QString& firstError)
{
    busyPairs = busy;
    failingPairs = failing;
    pairError = firstError;
}

KTrayStatus::State KTrayStatus::state() const
{
    if (!pending.isEmpty() || busyPairs > 0)
        return State::Syncing;
    return filesFailed > 0 || failingPairs > 0 ? State::Error : State::Idle;
}

QString KTrayStatus::toolTip(const QString& title) const
{
    QStringList lines{title};
    if (!pending.isEmpty()) {
        lines << QStringLiteral("正在同步：%1/%2 个文件，%3 / %4")
                     .arg(filesEnded).arg(filesQueued)
                     .arg(KTransferList::sizeText(bytesEnded), KTransferList::sizeText(bytesQueued));
    } else if (busyPairs > 0) {
        lines << QStringLiteral("正在比较文件夹");
    }
    if (filesFailed > 0)
        lines << QStringLiteral("%1 个文件传输失败").arg(filesFailed);
    if (failingPairs > 0)
        lines << QStringLiteral("%1 个同步文件夹出错：%2").arg(failingPairs).arg(pairError);
    if (lines.size() == 1)
        lines << QStringLiteral("已同步，没有待传输的文件");
    return lines.join(QLatin1Char('\n'));
}

bool KTrayStatus::shouldNotify(KFailureKind kind, qint64 nowMs)
{
    if (kind == KFailureKind::Passing)
        return false;
    const auto last = lastNotice.constFind(int(kind));
    if (last != lastNotice.constEnd() && nowMs - last.value() < NoticeGapMs)
        return false;
    lastNotice.insert(int(kind), nowMs);
    return true;
}

bool KTrayStatus::conflictsRose(const QString& pairId, int conflicts)
{
    const int before = conflictCounts.value(pairId, 0);
    conflictCounts.insert(pairId, conflicts);
    return conflicts > before;
}
