#pragma once

#include "server/knodestore.h"

#include <QList>
#include <QString>

// What a node is now, in the form a removal names what it expects: a file's
// current datahash, or for a folder "tree:" + the lower-case hex MD5 of one
// line per file below it, "path inside the folder" TAB "current datahash" LF,
// sorted by their UTF-8 bytes (an empty folder gives the MD5 of nothing).
// Any file added, removed, renamed or changed below a folder changes it.
namespace KNodeState
{
// `below` holds the folder's descendants (ignored for a file).
QString of(const KNodeRecord& node, const QList<KNodeRecord>& below);
QString treeDigest(const QString& folder, const QList<KNodeRecord>& below);
}
