#pragma once

#include "login/kloginflow.h"

#include <QObject>
#include <QString>

// The desktop program's login flow without its window: the same request,
// session record, login settings file and pinned certificates. A certificate
// that does not verify is trusted only when its fingerprint is the one the
// user gave (--trust-fingerprint); it is then pinned like the window pins it.
class KCliLogin : public QObject
{
    Q_OBJECT
public:
    enum class Result
    {
        Accepted,
        Rejected,    // wrong user or password
        Unreachable, // no answer
        Untrusted,   // a certificate that did not verify, not trusted
        Failed,      // an answer that was not a login reply
        NotLoggedIn, // resume() without saved login settings
    };

    explicit KCliLogin(QObject* parent = nullptr);

    // Logs in and, when accepted, saves the login settings.
    Result login(const KLoginForm& form, const QString& trustFingerprint = QString());
    // Logs in again with the saved login settings.
    Result resume();

    // What went wrong and what to do, for a result other than Accepted.
    QString message() const { return text; }

    // The password from the file's first line, else $WEXORA_PASSWORD, else a
    // prompt without echo when standard input is a terminal. "" and *error
    // set when there is none.
    static QString readPassword(const QString& passwordFile, QString* error);

private:
    void onWarn(const QString& title, const QString& warning);
    void onAskTrust(const KTlsFailure& failure, bool* trusted);
    void explain(Result result, const KLoginForm& form);
    static QString promptPassword();

    KLoginFlow* flow;
    QString wantedFingerprint;
    QString warningTitle;
    QString warningText;
    KTlsFailure untrusted;
    bool accepted = false;
    QString text;
};
