#include "server/kcanonical.h"

#include <QStringList>

namespace
{
int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The QByteArray overload of QString::fromUtf8 stops at the first NUL; this
// keeps every byte.
QString wholeUtf8(const QByteArray& bytes)
{
    return QString::fromUtf8(bytes.constData(), bytes.size());
}

// Pairs of the query part of a target; pieces without "=" are ignored, as
// the client ignores them when it signs.
void addQueryPairs(const QString& query, QMap<QString, QString>& into)
{
    const QStringList pieces = query.split(QLatin1Char('&'));
    for (const QString& piece : pieces) {
        const int eq = piece.indexOf(QLatin1Char('='));
        if (eq >= 0)
            into.insert(piece.left(eq), piece.mid(eq + 1));
    }
}
}

namespace KCanonical
{
QByteArray percentDecode(const QByteArray& text)
{
    QByteArray out;
    out.reserve(text.size());
    for (int i = 0; i < text.size(); ++i) {
        const char c = text.at(i);
        if (c == '+') {
            out.append(' ');
        } else if (c == '%' && i + 2 < text.size() && hexValue(text.at(i + 1)) >= 0
                   && hexValue(text.at(i + 2)) >= 0) {
            out.append(char(hexValue(text.at(i + 1)) * 16 + hexValue(text.at(i + 2))));
            i += 2;
        } else {
            out.append(c);
        }
    }
    return out;
}

QMap<QString, QString> parseForm(const QByteArray& body)
{
    QMap<QString, QString> fields;
    if (body.isEmpty())
        return fields;
    const QList<QByteArray> pieces = body.split('&');
    for (const QByteArray& piece : pieces) {
        if (piece.isEmpty())
            continue;
        const int eq = piece.indexOf('=');
        const QByteArray key = eq < 0 ? piece : piece.left(eq);
        const QByteArray value = eq < 0 ? QByteArray() : piece.mid(eq + 1);
        fields.insert(wholeUtf8(percentDecode(key)), wholeUtf8(percentDecode(value)));
    }
    return fields;
}

bool holdsNul(const QMap<QString, QString>& fields)
{
    for (auto it = fields.cbegin(); it != fields.cend(); ++it) {
        if (it.key().contains(QChar(0)) || it.value().contains(QChar(0)))
            return true;
    }
    return false;
}

bool targetHoldsNul(const QByteArray& target)
{
    return target.contains('\0') || percentDecode(target).contains('\0');
}

QString canonicalResource(const QString& target, const QMap<QString, QString>& fields)
{
    const int slash = target.indexOf(QLatin1Char('/'));
    const QString kept = slash < 0 ? target : target.mid(slash);
    const int question = kept.indexOf(QLatin1Char('?'));
    QMap<QString, QString> pairs;
    if (question >= 0)
        addQueryPairs(kept.mid(question + 1), pairs);
    for (auto it = fields.cbegin(); it != fields.cend(); ++it)
        pairs.insert(it.key(), it.value());
    QStringList joined;
    for (auto it = pairs.cbegin(); it != pairs.cend(); ++it) {
        if (!it.value().isEmpty())
            joined.append(it.key() + QLatin1Char('=') + it.value());
    }
    const QString path = question < 0 ? kept : kept.left(question);
    return path + QLatin1Char('?') + joined.join(QLatin1Char('&'));
}

QString stringToSign(const QString& method, const QString& resource, const QString& date)
{
    return method.toUpper() + QLatin1Char('\n') + resource + QLatin1Char('\n') + date;
}
}
