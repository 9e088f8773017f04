#include "server/knodestate.h"

#include <QByteArrayList>
#include <QCryptographicHash>

#include <algorithm>

namespace KNodeState
{
QString of(const KNodeRecord& node, const QList<KNodeRecord>& below)
{
    if (node.isFile)
        return node.versions.isEmpty() ? QString() : node.versions.first().dataHash;
    return QStringLiteral("tree:") + treeDigest(node.relative, below);
}

QString treeDigest(const QString& folder, const QList<KNodeRecord>& below)
{
    const int cut = folder.isEmpty() ? 0 : folder.size() + 1;
    QByteArrayList lines;
    for (const KNodeRecord& node : below) {
        if (node.isFile)
            lines.append((node.relative.mid(cut) + QLatin1Char('\t') + of(node, {}) + QLatin1Char('\n')).toUtf8());
    }
    std::sort(lines.begin(), lines.end());
    return QString::fromLatin1(QCryptographicHash::hash(lines.join(), QCryptographicHash::Md5).toHex());
}
}
