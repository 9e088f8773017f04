#include "server/kremovalrequest.h"

#include "server/kcontentstore.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <algorithm>

namespace
{
std::optional<QStringList> textList(const QString& text)
{
    const QJsonDocument doc = QJsonDocument::fromJson(text.toUtf8());
    if (!doc.isArray())
        return std::nullopt;
    QStringList texts;
    for (const QJsonValue& value : doc.array()) {
        if (!value.isString())
            return std::nullopt;
        texts.append(value.toString());
    }
    return texts;
}
}

bool KRemovalRequest::isExpectation(const QString& text)
{
    const QString tree = QStringLiteral("tree:");
    return text.isEmpty() || KContentStore::isHexMd5(text) || (text.startsWith(tree) && KContentStore::isHexMd5(text.mid(tree.size())));
}

std::optional<KRemovalRequest> KRemovalRequest::parse(const QString& paths, const QString& datahashes, QString* error)
{
    KRemovalRequest request;
    const std::optional<QStringList> list = textList(paths);
    if (!list || list->size() > MaxPaths) {
        *error = QStringLiteral("paths must be a JSON array of at most 1000 texts");
        return std::nullopt;
    }
    request.paths = *list;
    const std::optional<QStringList> hashes = datahashes.isEmpty() ? QStringList() : textList(datahashes.toLower());
    if (!hashes || (!hashes->isEmpty() && hashes->size() != list->size())
        || !std::all_of(hashes->begin(), hashes->end(), isExpectation)) {
        *error = QStringLiteral("datahashes must be a JSON array with one entry per path: \"\", a datahash or \"tree:\" and a digest");
        return std::nullopt;
    }
    request.expected = *hashes;
    while (request.expected.size() < request.paths.size())
        request.expected.append(QString());
    return request;
}
