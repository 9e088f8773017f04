#include "sync/kservertree.h"

#include "app/kfiletools.h"
#include "app/kinterruption.h"
#include "app/kjsontools.h"
#include "app/klog.h"
#include "sync/kfilesyncmanager.h"
#include "sync/knodetools.h"

#include <QStringList>

struct KServerTree::Listing
{
    QList<KNodeInfo> nodes;
    bool ok = false;

    // Only a readable envelope with code 0 is a listing: a refusal is no
    // proof that the folder is empty.
    static Listing read(const QString& answer)
    {
        Listing listing;
        const QJsonValue code = KJsonTools::parseObject(answer).value(QStringLiteral("code"));
        if (!code.isDouble() || KJsonTools::toInt64(code.toDouble()) != 0)
            return listing;
        try {
            listing.nodes = KNodeTools::parseNodeList(answer);
            listing.ok = true;
        } catch (...) {
        }
        return listing;
    }
};

KServerTree KServerTree::scan(const QString& root)
{
    KServerTree tree;
    tree.complete = tree.list(root, QString(), 0);
    return tree;
}

bool KServerTree::list(const QString& root, const QString& rel, int level)
{
    KInterruption::check();
    if (level > MaxLevels) {
        KLog::info(QStringLiteral("服务器目录层级过深"), root + QLatin1Char('/') + rel);
        return false;
    }
    const QString dir = rel.isEmpty() ? root : root + QLatin1Char('/') + rel;
    ++requests;
    const Listing listing = Listing::read(KNodeTools::listDir(dir, true, true, Depth));
    KInterruption::check();
    return listing.ok && take(listing, root, rel, level);
}

bool KServerTree::take(const Listing& listing, const QString& root, const QString& rel, int level)
{
    const QString prefix = (rel.isEmpty() ? root : root + QLatin1Char('/') + rel) + QLatin1Char('/');
    QHash<QString, int> newFolders;
    int deepest = 0;
    for (const KNodeInfo& node : listing.nodes) {
        const QString below = node.path.startsWith(prefix) ? node.path.mid(prefix.size()) : QString();
        const QStringList names = below.split(QLatin1Char('/'));
        if (below.isEmpty() || !std::all_of(names.begin(), names.end(), KFileSyncManager::isSafeChildName)) {
            KLog::info(QStringLiteral("忽略非法路径"), node.path);
            continue;
        }
        const QString path = rel.isEmpty() ? below : rel + QLatin1Char('/') + below;
        deepest = qMax(deepest, int(names.size()));
        if (!node.isfile) {
            folders.insert(path);
            newFolders.insert(path, names.size());
            continue;
        }
        files.insert(path, fileOf(node));
    }
    bool ok = true;
    for (auto it = newFolders.begin(); it != newFolders.end(); ++it) {
        // Below the deepest level shown, a folder's inside is unknown.
        if (deepest == 1 || it.value() >= Depth)
            ok = list(root, it.key(), level + it.value()) && ok;
    }
    return ok;
}

KServerFile KServerTree::fileOf(const KNodeInfo& node)
{
    const KVersionInfo current = node.versions.value(0);
    return {current.datahash, node.versions.isEmpty() ? -1 : current.datasize, current.version, current.vtime};
}

KServerTree KServerTree::ofFiles(const QList<KNodeInfo>& nodes, const QString& root)
{
    KServerTree tree;
    const QString prefix = KFileTools::formatPath(root) + QLatin1Char('/');
    for (const KNodeInfo& node : nodes) {
        if (!node.path.startsWith(prefix))
            continue;
        const QString rel = node.path.mid(prefix.size());
        tree.files.insert(rel, fileOf(node));
        for (int slash = rel.lastIndexOf(QLatin1Char('/')); slash > 0; slash = rel.lastIndexOf(QLatin1Char('/'), slash - 1))
            tree.folders.insert(rel.left(slash));
    }
    tree.complete = true;
    return tree;
}

KServerKnown KServerTree::uploadKnown(const QString& rel) const
{
    if (rel.isEmpty() || folders.contains(rel))
        return KServerKnown::Unknown;
    if (files.contains(rel))
        return KServerKnown::NewVersion;
    const int slash = rel.lastIndexOf(QLatin1Char('/'));
    return slash < 0 || folders.contains(rel.left(slash)) ? KServerKnown::NewFile : KServerKnown::NewFolder;
}

void KServerTree::adopt(const KServerTree& below, const QString& prefix)
{
    const QString head = prefix + QLatin1Char('/');
    for (auto it = below.files.begin(); it != below.files.end(); ++it)
        files.insert(head + it.key(), it.value());
    for (const QString& folder : below.folders)
        folders.insert(head + folder);
    folders.insert(prefix);
    requests += below.requests;
    complete = complete && below.complete;
}
