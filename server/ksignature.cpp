#include "server/ksignature.h"

#include <QDateTime>
#include <QMessageAuthenticationCode>
#include <QStringList>

namespace
{
const char* const kDays[] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                               "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

int indexIn(const char* const* names, int count, const QString& name)
{
    for (int i = 0; i < count; ++i) {
        if (name == QLatin1String(names[i]))
            return i;
    }
    return -1;
}

// A fixed-width decimal field; -1 unless it has exactly `width` digits.
int fixedNumber(const QString& text, int width)
{
    if (text.size() != width)
        return -1;
    bool ok = false;
    const int value = text.toInt(&ok);
    return ok && !text.startsWith(QLatin1Char('+')) && !text.startsWith(QLatin1Char('-')) ? value : -1;
}

std::optional<QTime> parseClock(const QString& text)
{
    const QStringList parts = text.split(QLatin1Char(':'));
    if (parts.size() != 3)
        return std::nullopt;
    const QTime time(fixedNumber(parts[0], 2), fixedNumber(parts[1], 2), fixedNumber(parts[2], 2));
    if (!time.isValid())
        return std::nullopt;
    return time;
}
}

namespace KSignature
{
QString hmacSha1Base64(const QString& key, const QString& message)
{
    const QByteArray mac = QMessageAuthenticationCode::hash(message.toUtf8(), key.toUtf8(),
                                                            QCryptographicHash::Sha1);
    return QString::fromLatin1(mac.toBase64());
}

std::optional<Authorization> parseAuthorization(const QString& header)
{
    const int space = header.indexOf(QLatin1Char(' '));
    const int colon = header.lastIndexOf(QLatin1Char(':'));
    if (space <= 0 || colon <= space + 1 || colon == header.size() - 1)
        return std::nullopt;
    return Authorization{header.left(space), header.mid(space + 1, colon - space - 1), header.mid(colon + 1)};
}

std::optional<qint64> parseHttpDate(const QString& text)
{
    const QStringList parts = text.split(QLatin1Char(' '));
    if (parts.size() != 6 || parts[5] != QLatin1String("GMT") || !parts[0].endsWith(QLatin1Char(',')))
        return std::nullopt;
    const int weekday = indexIn(kDays, 7, parts[0].chopped(1));
    const int month = indexIn(kMonths, 12, parts[2]);
    const QDate date(fixedNumber(parts[3], 4), month + 1, fixedNumber(parts[1], 2));
    const std::optional<QTime> time = parseClock(parts[4]);
    if (weekday < 0 || month < 0 || !date.isValid() || !time || date.dayOfWeek() != weekday + 1)
        return std::nullopt;
    return QDateTime(date, *time, Qt::UTC).toSecsSinceEpoch();
}

QString formatHttpDate(qint64 secondsSinceEpoch)
{
    const QDateTime at = QDateTime::fromSecsSinceEpoch(secondsSinceEpoch, Qt::UTC);
    return QStringLiteral("%1, %2 %3 %4 %5 GMT")
        .arg(QLatin1String(kDays[at.date().dayOfWeek() - 1]))
        .arg(at.date().day(), 2, 10, QLatin1Char('0'))
        .arg(QLatin1String(kMonths[at.date().month() - 1]))
        .arg(at.date().year(), 4, 10, QLatin1Char('0'))
        .arg(at.time().toString(QStringLiteral("HH:mm:ss")));
}

bool constantTimeEquals(const QByteArray& a, const QByteArray& b)
{
    if (a.size() != b.size())
        return false;
    unsigned char diff = 0;
    for (int i = 0; i < a.size(); ++i)
        diff |= static_cast<unsigned char>(a.at(i) ^ b.at(i));
    return diff == 0;
}
}
