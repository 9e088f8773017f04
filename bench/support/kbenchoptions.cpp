#include "kbenchoptions.h"

#include <QSet>

#include <functional>
#include <map>

namespace
{
using Setter = std::function<bool(KBenchOptions&, const QString&)>;

bool positive(const QString& text, qint64& value)
{
    bool ok = false;
    value = text.toLongLong(&ok);
    return ok && value > 0;
}

bool setLinks(KBenchOptions& o, const QString& text)
{
    static const QSet<QString> known{QStringLiteral("loopback"), QStringLiteral("20ms-100mbit"), QStringLiteral("60ms-20mbit")};
    o.links = text.split(QLatin1Char(','), Qt::SkipEmptyParts);
    for (const QString& link : o.links) {
        if (!known.contains(link))
            return false;
    }
    return !o.links.isEmpty();
}

bool setTransfers(KBenchOptions& o, const QString& text)
{
    o.transfers.clear();
    for (const QString& part : text.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        qint64 n = 0;
        if (!positive(part, n))
            return false;
        o.transfers.append(int(n));
    }
    return !o.transfers.isEmpty();
}

Setter number(std::function<void(KBenchOptions&, qint64)> set)
{
    return [set](KBenchOptions& o, const QString& text) {
        qint64 n = 0;
        return positive(text, n) && (set(o, n), true);
    };
}

const std::map<QString, Setter>& valueOptions()
{
    static const std::map<QString, Setter> table{
        {QStringLiteral("--links"), setLinks},
        {QStringLiteral("--transfers"), setTransfers},
        {QStringLiteral("--jobs"), number([](KBenchOptions& o, qint64 n) { o.jobs = int(n); })},
        {QStringLiteral("--big-mib"), number([](KBenchOptions& o, qint64 n) { o.bigMib = n; })},
        {QStringLiteral("--files"), number([](KBenchOptions& o, qint64 n) { o.files = int(n); })},
        {QStringLiteral("--folders"), number([](KBenchOptions& o, qint64 n) { o.folders = int(n); })},
        {QStringLiteral("--rounds"), number([](KBenchOptions& o, qint64 n) { o.rounds = int(n); })},
        {QStringLiteral("--loopback-rounds"), number([](KBenchOptions& o, qint64 n) { o.loopbackRounds = int(n); })},
        {QStringLiteral("--rclone"), [](KBenchOptions& o, const QString& v) { o.rclone = v; return !v.isEmpty(); }},
    };
    return table;
}

const std::map<QString, std::function<void(KBenchOptions&)>>& flags()
{
    static const std::map<QString, std::function<void(KBenchOptions&)>> table{
        {QStringLiteral("--skip-big"), [](KBenchOptions& o) { o.big = false; }},
        {QStringLiteral("--skip-many"), [](KBenchOptions& o) { o.many = false; }},
        {QStringLiteral("--proxy-loopback"), [](KBenchOptions& o) { o.proxyLoopback = true; }},
        {QStringLiteral("--unverified"), [](KBenchOptions& o) { o.unverified = true; }},
    };
    return table;
}
} // namespace

KBenchOptions KBenchOptions::parse(const QStringList& args)
{
    KBenchOptions o;
    for (int i = 0; i < args.size() && o.error.isEmpty(); ++i) {
        const QString name = args[i];
        const auto flag = flags().find(name);
        const auto option = valueOptions().find(name);
        if (flag != flags().end())
            flag->second(o);
        else if (option == valueOptions().end())
            o.error = QStringLiteral("unknown option ") + name;
        else if (i + 1 >= args.size() || !option->second(o, args[++i]))
            o.error = name + QStringLiteral(" needs a valid value");
    }
    return o;
}

QString KBenchOptions::preset(const QString& link) const
{
    return link == QLatin1String("loopback") && !proxyLoopback ? QStringLiteral("direct") : link;
}

int KBenchOptions::roundsOn(const QString& link) const
{
    return link == QLatin1String("loopback") && loopbackRounds > 0 ? loopbackRounds : rounds;
}

QString KBenchOptions::usage(const QString& program)
{
    return program
           + QStringLiteral(" [--links loopback,20ms-100mbit,60ms-20mbit] [--proxy-loopback] [--jobs 16]\n"
                            "    [--transfers 4,1] [--big-mib 1024] [--files 10000] [--folders 100] [--skip-big]\n"
                            "    [--skip-many] [--rounds 1] [--loopback-rounds N] [--unverified] [--rclone PATH]\n");
}
