#include "transfer/kuploadrules.h"

#include <QHash>

KServerVerdict KUploadRules::serverVerdict(const QList<KNodeInfo>& nodes, qint64 fileSize, const QString& fileMd5)
{
    // One node is normally the parent folder alone.
    if (nodes.size() == 1)
        return KServerVerdict::NewFile;
    if (nodes.size() != 2)
        return KServerVerdict::MissingFolder;
    for (const KNodeInfo& node : nodes) {
        if (node.isfile)
            return versionVerdict(node, fileSize, fileMd5);
    }
    return KServerVerdict::NewFile;
}

KServerVerdict KUploadRules::versionVerdict(const KNodeInfo& file, qint64 fileSize, const QString& fileMd5)
{
    if (file.versions.isEmpty())
        return KServerVerdict::NewVersion;
    const KVersionInfo& current = file.versions.first();
    const bool sameHash = !fileMd5.isEmpty() && current.datahash.compare(fileMd5, Qt::CaseInsensitive) == 0;
    return current.datasize == fileSize && sameHash ? KServerVerdict::Identical : KServerVerdict::NewVersion;
}

int KUploadRules::doneParts(const QList<KUploadedPart>& parts, qint64 segmentSize)
{
    QHash<int, qint64> sizes;
    for (const KUploadedPart& part : parts)
        sizes.insert(part.partnumber, part.partsize);
    int done = 0;
    while (sizes.value(done + 1, -1) == segmentSize)
        ++done;
    return done;
}
