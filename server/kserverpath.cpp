#include "server/kserverpath.h"

namespace
{
constexpr int MaxNameBytes = 255;
constexpr int MaxPathChars = 4096;

KServerPath refused(const QString& why)
{
    KServerPath path;
    path.error = why;
    return path;
}

// C0, DEL and C1 (U+0080 to U+009F): none of them belongs in a name.
bool hasControlCharacter(const QString& text)
{
    for (const QChar c : text) {
        const ushort u = c.unicode();
        if (u < 0x20 || (u >= 0x7f && u <= 0x9f))
            return true;
    }
    return false;
}
}

QString KServerPath::full() const
{
    return join(spaceId, relative);
}

QString KServerPath::parentRelative() const
{
    const int slash = relative.lastIndexOf(QLatin1Char('/'));
    return slash < 0 ? QString() : relative.left(slash);
}

QString KServerPath::name() const
{
    if (isRoot())
        return spaceId;
    return relative.mid(relative.lastIndexOf(QLatin1Char('/')) + 1);
}

KServerPath KServerPath::parse(const QString& text)
{
    if (!text.startsWith(QLatin1Char('@')))
        return refused(QStringLiteral("a server path starts with @ and a space id"));
    if (text.size() > MaxPathChars)
        return refused(QStringLiteral("path too long"));
    const int slash = text.indexOf(QLatin1Char('/'));
    KServerPath path;
    path.spaceId = text.mid(1, slash < 0 ? -1 : slash - 1);
    if (!isValidSpaceId(path.spaceId))
        return refused(QStringLiteral("invalid space id"));
    if (slash >= 0) {
        path.relative = text.mid(slash + 1);
        const QStringList names = path.relative.split(QLatin1Char('/'));
        for (const QString& name : names) {
            if (!isValidName(name))
                return refused(QStringLiteral("invalid name in path: empty, \".\", \"..\", backslash or control character"));
        }
    }
    path.valid = true;
    return path;
}

QString KServerPath::join(const QString& spaceId, const QString& relative)
{
    const QString root = QLatin1Char('@') + spaceId;
    return relative.isEmpty() ? root : root + QLatin1Char('/') + relative;
}

bool KServerPath::isValidSpaceId(const QString& spaceId)
{
    if (spaceId.isEmpty() || spaceId.size() > 64 || spaceId.startsWith(QLatin1Char('.')))
        return false;
    for (const QChar c : spaceId) {
        const bool plain = (c >= QLatin1Char('a') && c <= QLatin1Char('z')) || (c >= QLatin1Char('A') && c <= QLatin1Char('Z'))
                           || (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || c == QLatin1Char('-') || c == QLatin1Char('_')
                           || c == QLatin1Char('.');
        if (!plain)
            return false;
    }
    return true;
}

bool KServerPath::isValidName(const QString& name)
{
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String(".."))
        return false;
    if (name.contains(QLatin1Char('\\')) || hasControlCharacter(name))
        return false;
    return name.toUtf8().size() <= MaxNameBytes;
}

namespace KServerPaths
{
int depth(const QString& relative)
{
    return relative.isEmpty() ? 0 : relative.count(QLatin1Char('/')) + 1;
}

QStringList ancestors(const QString& relative)
{
    QStringList chain;
    int slash = relative.indexOf(QLatin1Char('/'));
    while (slash >= 0) {
        chain.append(relative.left(slash));
        slash = relative.indexOf(QLatin1Char('/'), slash + 1);
    }
    return chain;
}
}
