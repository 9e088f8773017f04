#include "cli/kclioptions.h"

#include <QCommandLineParser>
#include <QRegularExpression>

namespace {

// Options each command takes besides the global ones.
const QMap<QString, QStringList>& commandOptions()
{
    static const QMap<QString, QStringList> options{
        {QStringLiteral("login"), {"server", "user", "password-file", "trust-fingerprint"}},
        {QStringLiteral("pair add"), {"mode"}},
        {QStringLiteral("pair list"), {}},
        {QStringLiteral("pair remove"), {}},
        {QStringLiteral("run"), {"once", "pair", "interval", "check-interval"}},
        {QStringLiteral("help"), {}},
    };
    return options;
}

// Arguments after the command words: how many each command takes.
int argumentCount(const QString& command)
{
    if (command == QLatin1String("pair add"))
        return 2;
    return command == QLatin1String("pair remove") ? 1 : 0;
}

QList<QCommandLineOption> allOptions()
{
    return {
        {{"h", "help"}, "Shows this help."},
        {"base", "Folder of config, db, logs and caches.", "DIR"},
        {"json", "One JSON object per event on standard output."},
        {"server", "Server address.", "URL"},
        {"user", "User name.", "NAME"},
        {"password-file", "File holding the password.", "FILE"},
        {"trust-fingerprint", "Trusts the server certificate with this SHA-256 fingerprint.", "SHA256"},
        {"mode", "Direction of a pair.", "MODE"},
        {"once", "One pass, then exit."},
        {"pair", "Only this pair.", "ID"},
        {"interval", "Seconds between passes when running on.", "SECONDS"},
        {"check-interval", "Seconds between looks at the server for changes when running on.", "SECONDS"},
    };
}

} // namespace

KCliRequest KCliOptions::parse(const QStringList& arguments)
{
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.addOptions(allOptions());
    KCliRequest request;
    if (!parser.parse(arguments)) {
        request.error = parser.errorText();
        return request;
    }
    for (const QString& name : parser.optionNames()) {
        const QString key = name == QLatin1String("h") ? QStringLiteral("help") : name;
        request.options.insert(key, parser.value(name));
    }
    request.args = parser.positionalArguments();
    request.error = checkCommand(request);
    if (request.error.isEmpty())
        request.error = checkArguments(request);
    return request;
}

QString KCliOptions::checkCommand(KCliRequest& request)
{
    QStringList& words = request.args;
    if (words.isEmpty()) {
        if (!request.has("help"))
            return QStringLiteral("no command given");
        request.command = QStringLiteral("help");
        return QString();
    }
    request.command = words.takeFirst();
    if (request.command == QLatin1String("pair")) {
        if (words.isEmpty())
            return QStringLiteral("'pair' needs add, list or remove");
        request.command += QLatin1Char(' ') + words.takeFirst();
    }
    if (!commandOptions().contains(request.command))
        return QStringLiteral("unknown command '%1'").arg(request.command);
    const QStringList allowed = commandOptions().value(request.command) + QStringList{"base", "json", "help"};
    for (const QString& name : request.options.keys()) {
        if (!allowed.contains(name))
            return QStringLiteral("'%1' does not take --%2").arg(request.command, name);
    }
    return QString();
}

QString KCliOptions::checkArguments(const KCliRequest& request)
{
    const QString& command = request.command;
    if (request.args.size() != argumentCount(command))
        return QStringLiteral("'%1' takes %2 argument(s), not %3")
            .arg(command).arg(argumentCount(command)).arg(request.args.size());
    if (command == QLatin1String("login") && (!request.has("server") || !request.has("user")))
        return QStringLiteral("'login' needs --server URL and --user NAME");
    if (request.has("mode") && syncTypeOf(request.value("mode")).isEmpty())
        return QStringLiteral("unknown --mode '%1' (two-way, upload, download or fill)").arg(request.value("mode"));
    if (request.has("interval") && request.value("interval").toInt() <= 0)
        return QStringLiteral("--interval needs a number of seconds above 0");
    if (request.has("check-interval") && request.value("check-interval").toInt() <= 0)
        return QStringLiteral("--check-interval needs a number of seconds above 0");
    if (request.has("trust-fingerprint") && normalFingerprint(request.value("trust-fingerprint")).isEmpty())
        return QStringLiteral("--trust-fingerprint needs the 64 hex digits of a SHA-256 fingerprint");
    return QString();
}

QString KCliOptions::usage()
{
    return QStringLiteral(
        "Usage: wexora-sync [--base DIR] [--json] COMMAND\n"
        "\n"
        "  login --server URL --user NAME [--password-file FILE] [--trust-fingerprint SHA256]\n"
        "      Logs in (password from FILE, $WEXORA_PASSWORD or a prompt) and keeps the login.\n"
        "  pair add LOCAL REMOTE [--mode two-way|upload|download|fill]\n"
        "      Pairs a local folder with a server folder (@space/path). Default mode: two-way.\n"
        "  pair list\n"
        "  pair remove ID\n"
        "  run [--once] [--pair ID] [--interval SECONDS] [--check-interval SECONDS]\n"
        "      Syncs every pair (or one). --once: one pass, waits for its transfers, exits.\n"
        "      Otherwise runs on until SIGINT or SIGTERM: local changes are synced within seconds,\n"
        "      the server is looked at every --check-interval seconds (60), and a whole pass\n"
        "      runs every --interval seconds (300).\n"
        "\n"
        "  --base DIR   folder of config, db, logs and caches (default: the desktop program's)\n"
        "  --json       one JSON object per event on standard output\n"
        "\n"
        "Exit status: 0 everything transferred, 1 some transfer failed, 2 usage, login or\n"
        "configuration error.\n");
}

QString KCliOptions::syncTypeOf(const QString& mode)
{
    static const QMap<QString, QString> types{
        {"two-way", "3"}, {"upload", "1"}, {"download", "2"}, {"fill", "0"}};
    return types.value(mode);
}

QString KCliOptions::modeOf(const QString& syncType)
{
    static const QMap<QString, QString> modes{{"3", "two-way"}, {"1", "upload"}, {"2", "download"}};
    return modes.value(syncType, QStringLiteral("fill"));
}

bool KCliOptions::splitServer(const QString& url, QString* protocol, QString* address)
{
    static const QRegularExpression form(QStringLiteral("^(https?://)([^/\\s?#]+)/*$"));
    const QRegularExpressionMatch match = form.match(url.trimmed());
    if (!match.hasMatch())
        return false;
    *protocol = match.captured(1);
    *address = match.captured(2);
    return true;
}

QString KCliOptions::normalFingerprint(const QString& text)
{
    QString hex = text.trimmed().toUpper();
    hex.remove(QLatin1Char(':'));
    static const QRegularExpression form(QStringLiteral("^[0-9A-F]{64}$"));
    if (!form.match(hex).hasMatch())
        return QString();
    QStringList pairs;
    for (int i = 0; i < hex.size(); i += 2)
        pairs << hex.mid(i, 2);
    return pairs.join(QLatin1Char(':'));
}
