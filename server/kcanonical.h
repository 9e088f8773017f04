#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>

// The request side of signing: form bodies decoded the way the client encoded
// them, and the resource text the client signed, rebuilt from what arrived.
namespace KCanonical
{
// Decodes %XX escapes; "+" becomes a space (form encoding). A broken escape
// is kept as it stands.
QByteArray percentDecode(const QByteArray& text);

// Splits an application/x-www-form-urlencoded body into decoded fields. Keys
// and values are decoded as UTF-8, whole (a %00 stays in the text, see
// holdsNul); a later duplicate replaces an earlier one; pieces without "="
// count as a key with an empty value.
QMap<QString, QString> parseForm(const QByteArray& body);

// True when a key or value holds U+0000. Such a field is refused outright:
// text handed to C strings, SQLite or file names would end at it, so what is
// signed or checked would differ from what is acted on.
bool holdsNul(const QMap<QString, QString>& fields);
// True when the request target, percent-decoded, holds a NUL byte.
bool targetHoldsNul(const QByteArray& target);

// The resource the client signed: path, "?", then the query pairs of the
// target merged with the decoded fields (fields win), empty values dropped,
// keys in ascending order, joined by "&", nothing encoded.
QString canonicalResource(const QString& target, const QMap<QString, QString>& fields);

// "POST\n" + resource + "\n" + date, the text the signature covers.
QString stringToSign(const QString& method, const QString& resource, const QString& date);
}
