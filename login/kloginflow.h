#pragma once

#include "api/ktlssettings.h"

#include <QMap>
#include <QObject>
#include <QString>
#include <QUrl>
#include <optional>

// The four fields the login page sends with "doLogin".
struct KLoginForm
{
    QString protocol;
    QString address;
    QString username;
    QString password;

    static KLoginForm fromParam(const QString& param);
    // Protocol and address joined as they are: the page's protocol carries "://".
    QString serverBase() const { return protocol + address; }
    // The warning for the first empty field (address, user name, password);
    // "" when all three are filled.
    QString missingFieldWarning() const;
};

// What the login window does with the login page's messages, without the
// window: reads and saves the login settings, sends the login (following
// one redirect), fills the session and decides whether the login counts.
// Scripts for the page, warnings, the certificate question and the window's
// fate all leave through signals. GUI thread only.
class KLoginFlow : public QObject
{
    Q_OBJECT

public:
    explicit KLoginFlow(QObject* parent = nullptr);

    // One page message. Emits at most one sendScript before returning;
    // "doLogin" sends none when a field is missing or the server cannot be
    // reached (the warning says why).
    void handle(const QString& op, const QString& param);

    static QString reloadDataScript(const QMap<QString, QString>& settings);
    static QString loginCallbackScript(const QString& code, const QString& message);

    // Only a reply with code 0 whose data carried the user id and the access
    // key, and that left them in the session, is a successful login.
    static bool isAcceptedLogin(const QString& response);

    // Title and text of the question about a certificate that did not verify.
    static QString trustQuestionTitle();
    static QString trustQuestionText(const KTlsFailure& failure);

signals:
    void sendScript(const QString& script);
    void warn(const QString& title, const QString& text);
    // Asked synchronously (connect directly). A certificate is trusted only
    // when a receiver sets *trusted to true.
    void askTrust(const KTlsFailure& failure, bool* trusted);
    void accepted();
    void hideRequested();
    void exitRequested();

private:
    enum class Outcome { Unreachable, Accepted, Rejected, Failed };

    void doLogin(const QString& param);
    Outcome login(const KLoginForm& form);
    // The login request; on a certificate failure the user is asked, and a
    // trusted certificate gets the request sent once more.
    QString send(const QString& url, const KLoginForm& form);
    bool trustAfterFailure(const QUrl& url);
    static std::optional<QString> redirectTarget(const QString& response, const QString& serverBase);
    void finishAccepted(const KLoginForm& form);
};
