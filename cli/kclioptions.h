#pragma once

#include <QMap>
#include <QString>
#include <QStringList>

// Exit statuses of the command.
enum KCliExit
{
    KCliExitOk = 0,
    KCliExitTransferFailed = 1,
    KCliExitUsage = 2,
};

// One command line, parsed: the command words ("login", "pair add", ...),
// the arguments after them and the options given. Options may stand
// anywhere; each command accepts only its own (and the global ones).
struct KCliRequest
{
    QString command;
    QStringList args;
    QMap<QString, QString> options; // flags map to ""
    QString error;                  // a usage error, "" when the line is fine

    bool has(const QString& name) const { return options.contains(name); }
    QString value(const QString& name) const { return options.value(name); }
};

// The command line of wexora-sync. Pure functions.
class KCliOptions
{
public:
    // arguments[0] is the program name, as QCoreApplication::arguments() gives it.
    static KCliRequest parse(const QStringList& arguments);
    static QString usage();

    // --mode two-way|upload|download|fill as the stored direction "3"|"1"|"2"|"0";
    // "" for anything else.
    static QString syncTypeOf(const QString& mode);
    // The stored direction as a --mode word.
    static QString modeOf(const QString& syncType);
    // "https://host:port/" as the login page's protocol and address; false
    // when the text has no http:// or https:// scheme or no host.
    static bool splitServer(const QString& url, QString* protocol, QString* address);
    // A SHA-256 fingerprint in any case, with or without colons, in the
    // form the pin file keeps ("AB:CD:..."); "" when it is not 32 bytes of hex.
    static QString normalFingerprint(const QString& text);

private:
    static QString checkCommand(KCliRequest& request);
    static QString checkArguments(const KCliRequest& request);
};
