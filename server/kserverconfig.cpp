#include "server/kserverconfig.h"

#include <QMutexLocker>

#include <functional>
#include <map>

namespace
{
using OptionSetter = std::function<QString(KCommandLine&, const QString&)>;

QString setPort(KCommandLine& line, const QString& value)
{
    bool ok = false;
    const int port = value.toInt(&ok);
    if (!ok || port < 0 || port > 65535)
        return QStringLiteral("--port needs a number from 0 to 65535");
    line.config.port = port;
    return QString();
}

QString setThreads(KCommandLine& line, const QString& value)
{
    bool ok = false;
    const int threads = value.toInt(&ok);
    if (!ok || threads < 2 || threads > 256)
        return QStringLiteral("--threads needs a number from 2 to 256");
    line.config.threads = threads;
    return QString();
}

QString setMaxThreads(KCommandLine& line, const QString& value)
{
    bool ok = false;
    const int threads = value.toInt(&ok);
    if (!ok || threads < 2 || threads > 4096)
        return QStringLiteral("--max-threads needs a number from 2 to 4096");
    line.config.maxThreads = threads;
    return QString();
}

QString setUploadMethod(KCommandLine& line, const QString& value)
{
    line.config.uploadMethod = KRuntimeSettings::normalisedUploadMethod(value);
    return line.config.uploadMethod.isEmpty() ? QStringLiteral("--upload-method is post or put") : QString();
}

QString setApiStyle(KCommandLine& line, const QString& value)
{
    line.config.apiStyle = value;
    return KRuntimeSettings::isApiStyle(value) ? QString()
                                               : QStringLiteral("--api-style is mixed, relative or absolute");
}

// Options that take a value, by name.
const std::map<QString, OptionSetter>& valueOptions()
{
    static const std::map<QString, OptionSetter> options = {
        {QStringLiteral("--root"), [](KCommandLine& l, const QString& v) { l.config.root = v; return QString(); }},
        {QStringLiteral("--host"), [](KCommandLine& l, const QString& v) { l.config.host = v; return QString(); }},
        {QStringLiteral("--port"), setPort},
        {QStringLiteral("--threads"), setThreads},
        {QStringLiteral("--max-threads"), setMaxThreads},
        {QStringLiteral("--tls-cert"), [](KCommandLine& l, const QString& v) { l.config.tlsCert = v; return QString(); }},
        {QStringLiteral("--tls-key"), [](KCommandLine& l, const QString& v) { l.config.tlsKey = v; return QString(); }},
        {QStringLiteral("--upload-method"), setUploadMethod},
        {QStringLiteral("--redirect"), [](KCommandLine& l, const QString& v) { l.config.redirect = v; return QString(); }},
        {QStringLiteral("--admin-token"), [](KCommandLine& l, const QString& v) { l.config.adminToken = v; return QString(); }},
        {QStringLiteral("--api-style"), setApiStyle},
        {QStringLiteral("--public-url"), [](KCommandLine& l, const QString& v) { l.config.publicUrl = v; return QString(); }},
        {QStringLiteral("--domain"), [](KCommandLine& l, const QString& v) { l.config.domain = v; return QString(); }},
        {QStringLiteral("--type"), [](KCommandLine& l, const QString& v) { l.spaceType = v; return QString(); }},
        {QStringLiteral("--member"), [](KCommandLine& l, const QString& v) { l.members.append(v); return QString(); }},
        {QStringLiteral("--to"), [](KCommandLine& l, const QString& v) { l.restoreTo = v; return QString(); }},
    };
    return options;
}

QString applyFlag(KCommandLine& line, const QString& flag)
{
    if (flag == QLatin1String("--sync"))
        line.config.syncWrites = true;
    else if (flag == QLatin1String("--verbose"))
        line.config.verbose = true;
    else if (flag == QLatin1String("--exit-with-parent"))
        line.config.exitWithParent = true;
    else if (flag == QLatin1String("--help") || flag == QLatin1String("-h"))
        line.command = QStringLiteral("help");
    else
        return QStringLiteral("unknown option ") + flag;
    return QString();
}

QString checkComplete(const KCommandLine& line)
{
    if (line.command == QLatin1String("help"))
        return QString();
    if (line.config.root.isEmpty())
        return QStringLiteral("--root DIR is required");
    if (line.config.maxThreads < line.config.threads)
        return QStringLiteral("--max-threads must not be below --threads");
    if (line.config.tlsCert.isEmpty() != line.config.tlsKey.isEmpty())
        return QStringLiteral("--tls-cert and --tls-key go together");
    if (line.command == QLatin1String("serve") && !line.arguments.isEmpty())
        return QStringLiteral("unexpected argument ") + line.arguments.first();
    if (line.command == QLatin1String("add-user") && (line.arguments.size() < 2 || line.arguments.size() > 3))
        return QStringLiteral("add-user needs USER PASSWORD [NAME]");
    if (line.command == QLatin1String("add-space") && line.arguments.size() != 2)
        return QStringLiteral("add-space needs SPACEID NAME");
    if (line.command == QLatin1String("trash-list") && line.arguments.size() != 1)
        return QStringLiteral("trash-list needs SPACEID");
    if (line.command == QLatin1String("restore") && (line.arguments.size() != 2 || line.arguments.at(1).toLongLong() <= 0))
        return QStringLiteral("restore needs SPACEID ENTRYID");
    return QString();
}

const QStringList& commands()
{
    static const QStringList names = {QStringLiteral("serve"), QStringLiteral("add-user"),
                                      QStringLiteral("add-space"), QStringLiteral("trash-list"),
                                      QStringLiteral("restore"), QStringLiteral("help")};
    return names;
}
}

KCommandLine KCommandLine::parse(const QStringList& args)
{
    KCommandLine line;
    line.command = QStringLiteral("serve");
    int i = 0;
    if (!args.isEmpty() && commands().contains(args.first())) {
        line.command = args.first();
        i = 1;
    }
    for (; i < args.size() && line.error.isEmpty(); ++i) {
        const QString& arg = args.at(i);
        const auto option = valueOptions().find(arg);
        if (option != valueOptions().end()) {
            line.error = i + 1 < args.size() ? option->second(line, args.at(++i)) : arg + QStringLiteral(" needs a value");
        } else if (arg.startsWith(QLatin1String("--")) || arg == QLatin1String("-h")) {
            line.error = applyFlag(line, arg);
        } else {
            line.arguments.append(arg);
        }
    }
    if (line.error.isEmpty())
        line.error = checkComplete(line);
    return line;
}

QString KCommandLine::usage()
{
    return QStringLiteral(
        "usage:\n"
        "  wexora-drive-server [serve] --root DIR [--host 127.0.0.1] [--port 0]\n"
        "      [--tls-cert FILE --tls-key FILE] [--upload-method post|put]\n"
        "      [--redirect PATH_OR_URL] [--admin-token TOKEN]\n"
        "      [--api-style mixed|relative|absolute] [--public-url URL]\n"
        "      [--domain NAME] [--threads N] [--max-threads N] [--sync] [--verbose]\n"
        "      [--exit-with-parent]\n"
        "  wexora-drive-server add-user --root DIR USER PASSWORD [NAME]\n"
        "  wexora-drive-server add-space --root DIR SPACEID NAME [--type TYPE] [--member USER]...\n"
        "  wexora-drive-server trash-list --root DIR SPACEID\n"
        "  wexora-drive-server restore --root DIR SPACEID ENTRYID [--to PATH]\n");
}

KRuntimeSettings::KRuntimeSettings(const KServerConfig& config)
    : method(config.uploadMethod)
    , redirectTarget(config.redirect)
    , style(config.apiStyle)
{
}

QString KRuntimeSettings::uploadMethod() const
{
    QMutexLocker lock(&mutex);
    return method;
}

QString KRuntimeSettings::redirect() const
{
    QMutexLocker lock(&mutex);
    return redirectTarget;
}

QString KRuntimeSettings::apiStyle() const
{
    QMutexLocker lock(&mutex);
    return style;
}

bool KRuntimeSettings::setUploadMethod(const QString& value)
{
    const QString normalised = normalisedUploadMethod(value);
    if (normalised.isEmpty())
        return false;
    QMutexLocker lock(&mutex);
    method = normalised;
    return true;
}

void KRuntimeSettings::setRedirect(const QString& value)
{
    QMutexLocker lock(&mutex);
    redirectTarget = value;
}

bool KRuntimeSettings::setApiStyle(const QString& value)
{
    if (!isApiStyle(value))
        return false;
    QMutexLocker lock(&mutex);
    style = value;
    return true;
}

QString KRuntimeSettings::normalisedUploadMethod(const QString& value)
{
    const QString upper = value.toUpper();
    return upper == QLatin1String("POST") || upper == QLatin1String("PUT") ? upper : QString();
}

bool KRuntimeSettings::isApiStyle(const QString& value)
{
    return value == QLatin1String("mixed") || value == QLatin1String("relative") || value == QLatin1String("absolute");
}
