#pragma once

#include <QString>

// Keeps passwords out of the log files. Page parameters are logged as they
// arrive, and the login page sends the password in plain text.
class KLogRedact
{
public:
    // A JSON object text has the value of every "password" member (any
    // case, any depth) replaced by "***"; any other text that mentions a
    // password is replaced by "***" as a whole; everything else comes back
    // unchanged.
    static QString params(const QString& param);

    static QString mask() { return QStringLiteral("***"); }
};
