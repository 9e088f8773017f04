#pragma once

#include <QString>
#include <QStringList>

// How an upload ended: judging a reply, the texts that record a failure and
// the redaction of what the log may show. Pure functions.
class KUploadOutcome
{
public:
    // Only an envelope whose "code" is 0 (the number, or the text "0") is a
    // success: an empty body, a page that is not JSON or any other code is not.
    static bool isSuccess(const QString& reply);
    // An envelope with a code other than 0: the server answered and said no
    // (unlike an empty or unreadable answer, which may be the network).
    static bool isRefusal(const QString& reply);

    // A readable reason for a failed reply to the step named `step` (for
    // example "提交上传"): the envelope's "data" text cut at markup, else its
    // "errtip", else a fixed text for an empty, unreadable or silent reply.
    static QString errorText(const QString& reply, const QString& step);

    // A "data" text holding "<" at position 7 or later keeps its first
    // (position - 6) characters: "abcdefgh<p>" gives "ab".
    static QString cutAtMarkup(const QString& data);

    // The error map row: row key, local path, server path, the direction
    // ("upload" unless told), time in milliseconds since the epoch, error text.
    static QStringList errorRow(const QString& localPath, const QString& serverPath, qint64 timeMs,
                                const QString& text, const QString& direction = QStringLiteral("upload"));

    // The version number a successful commit answered with (the node's
    // current version), 0 when the answer does not say.
    static qint64 committedVersion(const QString& reply);

    // The reply with every "uptoken" value masked, fit for the log.
    static QString redactTokens(const QString& reply);
    // A part address fit for the log: no query (it carries the signature),
    // no user info, and the upload token masked wherever the path holds it.
    static QString redactUrl(const QString& url, const QString& token);
};
