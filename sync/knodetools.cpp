#include "sync/knodetools.h"

#include "api/khttptools.h"
#include "app/kjsontools.h"

#include <QJsonArray>
#include <QJsonObject>

namespace {

QString text(const QJsonObject& object, const char* key)
{
    const QJsonValue value = object.value(QLatin1String(key));
    return value.isString() ? value.toString() : QString();
}

qint64 integer(const QJsonObject& object, const char* key)
{
    const QJsonValue value = object.value(QLatin1String(key));
    return value.isDouble() ? KJsonTools::toInt64(value.toDouble()) : 0;
}

QString trueFalse(bool value)
{
    return value ? QStringLiteral("true") : QStringLiteral("false");
}

} // namespace

QMap<QString, QString> KNodeTools::getNodesParams(const QStringList& paths)
{
    return {{QStringLiteral("op"), QStringLiteral("kgetnodes")},
            {QStringLiteral("paths"), KHttpTools::toJsonArrayText(paths)}};
}

QMap<QString, QString> KNodeTools::listDirParams(const QString& dirpath, bool hasDir, bool hasFile, int depth,
                                                 bool hasMeta)
{
    return {{QStringLiteral("op"), QStringLiteral("klistdir")},
            {QStringLiteral("dirpath"), dirpath},
            {QStringLiteral("hasfile"), trueFalse(hasFile)},
            {QStringLiteral("hasdir"), trueFalse(hasDir)},
            {QStringLiteral("hasmeta"), trueFalse(hasMeta)},
            {QStringLiteral("depth"), QString::number(depth)}};
}

QString KNodeTools::getNodes(const QStringList& paths)
{
    return KHttpTools::callApi(KHttpTools::apiUrlFor(paths.value(0)), getNodesParams(paths), true);
}

QString KNodeTools::getNode(const QString& path)
{
    return getNodes(QStringList{path});
}

QString KNodeTools::listDir(const QString& dirpath, bool hasDir, bool hasFile, int depth, bool hasMeta)
{
    return KHttpTools::callApi(KHttpTools::apiUrlFor(dirpath), listDirParams(dirpath, hasDir, hasFile, depth, hasMeta),
                               true);
}

KVersionInfo KNodeTools::parseVersion(const QJsonValue& value)
{
    const QJsonObject object = value.toObject();
    KVersionInfo version;
    version.datahash = text(object, "datahash");
    version.datasize = integer(object, "datasize");
    version.vuser = text(object, "vuser");
    version.vtime = integer(object, "vtime");
    version.version = integer(object, "version");
    return version;
}

KNodeInfo KNodeTools::readNode(const QJsonValue& value)
{
    const QJsonObject object = value.toObject();
    KNodeInfo node;
    node.path = text(object, "path");
    node.showpath = text(object, "showpath");
    node.cuser = text(object, "cuser");
    const QJsonValue isfile = object.value(QLatin1String("isfile"));
    node.isfile = isfile.isBool() && isfile.toBool();
    node.ctime = integer(object, "ctime");
    node.cnum = integer(object, "cnum");
    node.found = true;
    for (const QJsonValue& version : object.value(QLatin1String("versions")).toArray())
        node.versions.append(parseVersion(version));
    return node;
}

KNodeInfo KNodeTools::parseNode(const QString& text)
{
    try {
        const QJsonArray nodes = KHttpTools::parseResponse(text).toArray();
        if (nodes.isEmpty())
            return KNodeInfo();
        return readNode(nodes.first());
    } catch (...) {
        return KNodeInfo();
    }
}

QList<KNodeInfo> KNodeTools::parseNodeList(const QString& text)
{
    QList<KNodeInfo> nodes;
    for (const QJsonValue& value : KHttpTools::parseResponse(text).toArray())
        nodes.append(readNode(value));
    return nodes;
}
