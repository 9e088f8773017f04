#include "bridge/kjsstring.h"

namespace {

QString hexEscape(ushort unit)
{
    return QStringLiteral("\\u%1").arg(unit, 4, 16, QLatin1Char('0'));
}

} // namespace

QString KJsString::escape(const QString& text, QChar quote)
{
    QString out;
    out.reserve(text.size() + 8);
    for (const QChar c : text) {
        const ushort unit = c.unicode();
        if (c == QLatin1Char('\\'))
            out += QStringLiteral("\\\\");
        else if (c == quote)
            out += QLatin1Char('\\') + c;
        else if (c == QLatin1Char('\n'))
            out += QStringLiteral("\\n");
        else if (c == QLatin1Char('\r'))
            out += QStringLiteral("\\r");
        else if (c == QLatin1Char('\t'))
            out += QStringLiteral("\\t");
        else if (unit < 0x20 || unit == 0x7f || unit == 0x2028 || unit == 0x2029)
            out += hexEscape(unit);
        else
            out += c;
    }
    return out;
}

QString KJsString::quoted(const QString& text, QChar quote)
{
    return quote + escape(text, quote) + quote;
}
