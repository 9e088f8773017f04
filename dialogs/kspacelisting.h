#pragma once

#include "sync/knodeinfo.h"

#include <QList>
#include <QString>

// A server folder's children as the folder picker shows them. Stateless.
class KSpaceListing
{
public:
    // The direct children of a server folder, in the server's order. A
    // listing that fails (unreachable server, an answer that is no envelope)
    // gives no children; the failure is logged here and never thrown.
    static QList<KNodeInfo> children(const QString& path);
    // What an opened folder shows: its folders in answer order, then, with
    // showFiles, its files in answer order.
    static QList<KNodeInfo> shownChildren(const QList<KNodeInfo>& nodes, bool showFiles);
};
