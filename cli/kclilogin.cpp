#include "cli/kclilogin.h"

#include "app/kjsontools.h"
#include "login/kloginsettings.h"

#include <QFile>

#include <cstdio>
#include <termios.h>
#include <unistd.h>

KCliLogin::KCliLogin(QObject* parent)
    : QObject(parent)
    , flow(new KLoginFlow(this))
{
    connect(flow, &KLoginFlow::warn, this, &KCliLogin::onWarn);
    connect(flow, &KLoginFlow::askTrust, this, &KCliLogin::onAskTrust, Qt::DirectConnection);
    connect(flow, &KLoginFlow::accepted, this, [this] { accepted = true; });
}

KCliLogin::Result KCliLogin::login(const KLoginForm& form, const QString& trustFingerprint)
{
    wantedFingerprint = trustFingerprint;
    warningTitle.clear();
    warningText.clear();
    untrusted = KTlsFailure();
    accepted = false;
    text.clear();
    const QMap<QString, QString> fields{{"protocol", form.protocol},
                                        {"address", form.address},
                                        {"username", form.username},
                                        {"password", form.password}};
    flow->handle(QStringLiteral("doLogin"), KJsonTools::toJsonText(fields));
    Result result = Result::Failed;
    if (accepted)
        result = Result::Accepted;
    else if (!untrusted.isNull())
        result = Result::Untrusted;
    else if (warningTitle == QStringLiteral("连接异常!"))
        result = Result::Unreachable;
    else if (warningTitle == QStringLiteral("登录失败"))
        result = Result::Rejected;
    explain(result, form);
    return result;
}

KCliLogin::Result KCliLogin::resume()
{
    const QMap<QString, QString> saved = KLoginSettings::readLoginSettings();
    const KLoginForm form{saved.value("protocol"), saved.value("address"), saved.value("username"),
                          saved.value("password")};
    if (form.address.isEmpty() || form.username.isEmpty() || form.password.isEmpty()) {
        text = QStringLiteral("not logged in: run 'wexora-sync login --server URL --user NAME' first");
        return Result::NotLoggedIn;
    }
    return login(form);
}

void KCliLogin::onWarn(const QString& title, const QString& warning)
{
    warningTitle = title;
    warningText = warning;
}

void KCliLogin::onAskTrust(const KTlsFailure& failure, bool* trusted)
{
    *trusted = !wantedFingerprint.isEmpty() && KTlsSettings::fingerprint(failure.certificate) == wantedFingerprint;
    if (!*trusted)
        untrusted = failure;
}

void KCliLogin::explain(Result result, const KLoginForm& form)
{
    const QString server = form.serverBase();
    switch (result) {
    case Result::Accepted:
    case Result::NotLoggedIn:
        return;
    case Result::Rejected:
        text = QStringLiteral("%1 refused user '%2': wrong user name or password (%3)")
                   .arg(server, form.username, warningText);
        return;
    case Result::Unreachable:
        text = QStringLiteral("cannot reach %1 (%2): check the address and that the server is running")
                   .arg(server, warningText);
        return;
    case Result::Untrusted:
        text = QStringLiteral("the certificate of %1:%2 did not verify. Its SHA-256 fingerprint is\n  %3\n"
                              "If the server's administrator confirms it, log in again with "
                              "--trust-fingerprint %3")
                   .arg(untrusted.host)
                   .arg(untrusted.port)
                   .arg(KTlsSettings::fingerprint(untrusted.certificate));
        return;
    case Result::Failed:
        text = QStringLiteral("%1 did not answer like a drive server (登录失败): check the address").arg(server);
        return;
    }
}

QString KCliLogin::readPassword(const QString& passwordFile, QString* error)
{
    if (!passwordFile.isEmpty()) {
        QFile file(passwordFile);
        if (!file.open(QIODevice::ReadOnly)) {
            *error = QStringLiteral("cannot read the password file %1: %2").arg(passwordFile, file.errorString());
            return QString();
        }
        const QString password = QString::fromUtf8(file.readLine()).remove(QLatin1Char('\n')).remove(QLatin1Char('\r'));
        if (password.isEmpty())
            *error = QStringLiteral("the password file %1 is empty").arg(passwordFile);
        return password;
    }
    if (qEnvironmentVariableIsSet("WEXORA_PASSWORD"))
        return qEnvironmentVariable("WEXORA_PASSWORD");
    if (::isatty(STDIN_FILENO))
        return promptPassword();
    *error = QStringLiteral("no password: give --password-file FILE, set WEXORA_PASSWORD, or run on a terminal");
    return QString();
}

QString KCliLogin::promptPassword()
{
    std::fputs("Password: ", stderr);
    std::fflush(stderr);
    termios saved{};
    const bool terminal = ::tcgetattr(STDIN_FILENO, &saved) == 0;
    if (terminal) {
        termios quiet = saved;
        quiet.c_lflag &= ~tcflag_t(ECHO);
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    char buffer[1024] = {};
    const bool read = std::fgets(buffer, sizeof buffer, stdin) != nullptr;
    if (terminal)
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    std::fputc('\n', stderr);
    QString password = read ? QString::fromUtf8(buffer) : QString();
    ::memset(buffer, 0, sizeof buffer);
    return password.remove(QLatin1Char('\n')).remove(QLatin1Char('\r'));
}
