#include "sync/kserverremoval.h"

#include "api/khttptools.h"
#include "app/kjsontools.h"
#include "sync/knodetools.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QStringList>

namespace {
const int Success = 0;
const int UnknownOperation = 3;
const int Changed = 22;
} // namespace

QString KServerRemoval::emptyFolder()
{
    return QStringLiteral("tree:d41d8cd98f00b204e9800998ecf8427e");
}

QString KServerRemoval::treeDigest(const QMap<QString, QString>& hashesByPathInside)
{
    QList<QByteArray> lines;
    for (auto it = hashesByPathInside.begin(); it != hashesByPathInside.end(); ++it)
        lines << it.key().toUtf8() + '\t' + it.value().toUtf8() + '\n';
    std::sort(lines.begin(), lines.end());
    QCryptographicHash md5(QCryptographicHash::Md5);
    for (const QByteArray& line : lines)
        md5.addData(line);
    return QStringLiteral("tree:") + QString::fromLatin1(md5.result().toHex());
}

QMap<QString, QString> KServerRemoval::params(const QList<KRemovalItem>& items)
{
    QStringList paths;
    QStringList expected;
    for (const KRemovalItem& item : items) {
        paths << item.path;
        expected << item.expected;
    }
    return {{QStringLiteral("op"), QStringLiteral("kremovenodes")},
            {QStringLiteral("paths"), KHttpTools::toJsonArrayText(paths)},
            {QStringLiteral("datahashes"), KHttpTools::toJsonArrayText(expected)}};
}

KRemovalResult KServerRemoval::read(const QString& answer, const QList<KRemovalItem>& asked)
{
    KRemovalResult result;
    const QMap<QString, QJsonValue> envelope = KJsonTools::parseObject(answer);
    const QJsonValue code = envelope.value(QStringLiteral("code"));
    const qint64 number = code.isDouble() ? KJsonTools::toInt64(code.toDouble()) : -1;
    if (number == Success) {
        for (const KRemovalItem& item : asked)
            result.removed.insert(item.path);
    } else if (number == UnknownOperation) {
        result.unsupported = true;
    } else if (number == Changed) {
        for (const QJsonValue& node : envelope.value(QStringLiteral("data")).toArray())
            result.changed.insert(node.toObject().value(QStringLiteral("path")).toString());
    } else {
        const QString tip = envelope.value(QStringLiteral("errtip")).toString();
        result.failure = tip.isEmpty() ? QStringLiteral("kremovenodes: no answer") : tip;
    }
    return result;
}

KRemovalResult KServerRemoval::remove(const QList<KRemovalItem>& items)
{
    KRemovalResult all;
    for (int first = 0; first < items.size() && !all.unsupported; first += PathsPerRequest) {
        const KRemovalResult chunk = removeChunk(items.mid(first, PathsPerRequest));
        all.removed += chunk.removed;
        all.changed += chunk.changed;
        all.unsupported = chunk.unsupported;
        if (!chunk.failure.isEmpty())
            all.failure = chunk.failure;
    }
    return all;
}

// All or nothing on the server: paths that changed are taken out and the
// rest asked again, once.
KRemovalResult KServerRemoval::removeChunk(QList<KRemovalItem> items)
{
    const auto send = [](const QList<KRemovalItem>& asked) {
        const QString url = KHttpTools::apiUrlFor(asked.value(0).path);
        return read(KHttpTools::callApi(url, params(asked), true), asked);
    };
    KRemovalResult first = send(items);
    if (first.changed.isEmpty())
        return first;
    items.erase(std::remove_if(items.begin(), items.end(),
                               [&first](const KRemovalItem& item) { return first.changed.contains(item.path); }),
                items.end());
    if (items.isEmpty())
        return first;
    KRemovalResult second = send(items);
    second.changed += first.changed;
    return second;
}
