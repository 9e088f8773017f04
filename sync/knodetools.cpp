#include "sync/knodetools.h"

#include "api/khttptools.h"
#include "app/kjsontools.h"

#include <QJsonArray>
#include <QJsonObject>

namespace {

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
    version.datahash = KJsonTools::textMember(object, QStringLiteral("datahash"));
    version.datasize = KJsonTools::integerMember(object, QStringLiteral("datasize"));
    version.vuser = KJsonTools::textMember(object, QStringLiteral("vuser"));
    version.vtime = KJsonTools::integerMember(object, QStringLiteral("vtime"));
    version.version = KJsonTools::integerMember(object, QStringLiteral("version"));
    return version;
}

KNodeInfo KNodeTools::readNode(const QJsonValue& value)
{
    const QJsonObject object = value.toObject();
    KNodeInfo node;
    node.path = KJsonTools::textMember(object, QStringLiteral("path"));
    node.showpath = KJsonTools::textMember(object, QStringLiteral("showpath"));
    node.cuser = KJsonTools::textMember(object, QStringLiteral("cuser"));
    const QJsonValue isfile = object.value(QLatin1String("isfile"));
    node.isfile = isfile.isBool() && isfile.toBool();
    node.ctime = KJsonTools::integerMember(object, QStringLiteral("ctime"));
    node.cnum = KJsonTools::integerMember(object, QStringLiteral("cnum"));
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
