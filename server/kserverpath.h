#pragma once

#include <QString>
#include <QStringList>

// A server path "@" + space id, optionally followed by "/" and names. Names
// are confined to their space: ".", "..", empty names, backslashes and control
// characters are refused, so no path can climb out of its space.
struct KServerPath
{
    bool valid = false;
    QString error;    // why a path was refused
    QString spaceId;
    QString relative; // names joined by "/", empty for the space root

    bool isRoot() const { return relative.isEmpty(); }
    QString full() const;
    QString parentRelative() const;
    QString name() const; // last name; the space id for a root

    static KServerPath parse(const QString& text);
    static QString join(const QString& spaceId, const QString& relative);
    static bool isValidSpaceId(const QString& spaceId);
    static bool isValidName(const QString& name);
};

namespace KServerPaths
{
// Depth of a relative path: 0 for the root, 1 for a child of the root.
int depth(const QString& relative);
// Ancestors of a relative path from the top down, without the root and
// without the path itself: "a/b/c" gives ["a", "a/b"].
QStringList ancestors(const QString& relative);
}
