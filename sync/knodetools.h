#pragma once

#include "sync/knodeinfo.h"

#include <QJsonValue>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

// The two listing operations of the server: "kgetnodes" (nodes at given
// paths) and "klistdir" (children of one folder). Stateless.
class KNodeTools
{
public:
    static QString getNodes(const QStringList& paths);
    static QString getNode(const QString& path);
    static QString listDir(const QString& dirpath, bool hasDir, bool hasFile, int depth = 1, bool hasMeta = false);

    // First node of an answer; found is false when there is none or the
    // answer cannot be read. Never throws.
    static KNodeInfo parseNode(const QString& text);
    // Every node of an answer; throws what KHttpTools::parseResponse throws.
    static QList<KNodeInfo> parseNodeList(const QString& text);
    static KVersionInfo parseVersion(const QJsonValue& value);

    // The form parameters of the two requests, as they are signed and sent.
    static QMap<QString, QString> getNodesParams(const QStringList& paths);
    static QMap<QString, QString> listDirParams(const QString& dirpath, bool hasDir, bool hasFile, int depth,
                                                bool hasMeta);

private:
    static KNodeInfo readNode(const QJsonValue& value);
};
