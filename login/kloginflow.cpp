#include "login/kloginflow.h"

#include "api/khttptools.h"
#include "app/kjsontools.h"
#include "app/klog.h"
#include "bridge/kjsstring.h"
#include "login/kloginsettings.h"
#include "login/ksession.h"

#include <QJsonObject>
#include <QSslCertificate>
#include <QStringList>

namespace {

const QString FailedMessage = QStringLiteral("登录失败");

QString subjectText(const QSslCertificate& certificate)
{
    QStringList parts;
    const QStringList names = certificate.subjectInfo(QSslCertificate::CommonName);
    const QStringList organisations = certificate.subjectInfo(QSslCertificate::Organization);
    if (!names.isEmpty())
        parts << QStringLiteral("CN=") + names.join(QStringLiteral(", "));
    if (!organisations.isEmpty())
        parts << QStringLiteral("O=") + organisations.join(QStringLiteral(", "));
    return parts.isEmpty() ? QStringLiteral("(无)") : parts.join(QStringLiteral(", "));
}

QString reasonsText(const QList<QSslError>& errors)
{
    QStringList reasons;
    for (const QSslError& error : errors) {
        if (!reasons.contains(error.errorString()))
            reasons << error.errorString();
    }
    return reasons.join(QStringLiteral("; "));
}

QString endpointText(const QString& host, int port)
{
    return host + QLatin1Char(':') + QString::number(port);
}

} // namespace

KLoginForm KLoginForm::fromParam(const QString& param)
{
    const QMap<QString, QString> fields = KJsonTools::parseStringMap(param);
    return {fields.value(QStringLiteral("protocol")), fields.value(QStringLiteral("address")),
            fields.value(QStringLiteral("username")), fields.value(QStringLiteral("password"))};
}

QString KLoginForm::missingFieldWarning() const
{
    if (address.isEmpty())
        return QStringLiteral("地址不能为空!");
    if (username.isEmpty())
        return QStringLiteral("用户名不能为空!");
    if (password.isEmpty())
        return QStringLiteral("密码不能为空!");
    return QString();
}

KLoginFlow::KLoginFlow(QObject* parent)
    : QObject(parent)
{
}

void KLoginFlow::handle(const QString& op, const QString& param)
{
    if (op == QLatin1String("getLoginData")) {
        emit sendScript(reloadDataScript(KLoginSettings::readLoginSettings()));
        return;
    }
    if (op == QLatin1String("doLogin")) {
        doLogin(param);
        return;
    }
    if (op == QLatin1String("doHide"))
        emit hideRequested();
    else if (op == QLatin1String("doExit"))
        emit exitRequested();
    // Every other message, known or not, is answered with an empty script.
    emit sendScript(QLatin1String(""));
}

QString KLoginFlow::reloadDataScript(const QMap<QString, QString>& settings)
{
    return QStringLiteral("loginVue.reloadData('") + KJsString::escape(KJsonTools::toJsonText(settings))
           + QStringLiteral("');");
}

QString KLoginFlow::loginCallbackScript(const QString& code, const QString& message)
{
    const QMap<QString, QString> result{{QStringLiteral("code"), code}, {QStringLiteral("message"), message}};
    return QStringLiteral("loginVue.loginCallback('") + KJsString::escape(KJsonTools::toJsonText(result))
           + QStringLiteral("');");
}

void KLoginFlow::doLogin(const QString& param)
{
    const KLoginForm form = KLoginForm::fromParam(param);
    const QString missing = form.missingFieldWarning();
    if (!missing.isEmpty()) {
        emit warn(QStringLiteral("错误"), missing);
        return;
    }
    Outcome outcome = Outcome::Failed;
    try {
        outcome = login(form);
    } catch (...) {
        // Anything that is not an envelope: the page hears of a failed login.
        outcome = Outcome::Failed;
    }
    switch (outcome) {
    case Outcome::Unreachable:
        KLog::info2(QStringLiteral("连接异常!"), form.serverBase(), form.username);
        emit warn(QStringLiteral("连接异常!"), form.serverBase() + QStringLiteral("无法连接!"));
        break;
    case Outcome::Accepted:
        finishAccepted(form);
        break;
    case Outcome::Rejected:
        emit warn(QStringLiteral("登录失败"), QStringLiteral("用户名称或密码错误"));
        emit sendScript(loginCallbackScript(QStringLiteral("1"), FailedMessage));
        break;
    case Outcome::Failed:
        emit sendScript(loginCallbackScript(QStringLiteral("1"), FailedMessage));
        break;
    }
}

KLoginFlow::Outcome KLoginFlow::login(const KLoginForm& form)
{
    const QString serverBase = form.serverBase();
    QString response = send(serverBase + QStringLiteral("/klogin"), form);
    if (response.isEmpty())
        return Outcome::Unreachable;
    // Only one redirect is followed, and its answer is taken as it comes.
    if (const std::optional<QString> target = redirectTarget(response, serverBase))
        response = send(*target, form);
    KSession::parseLoginResponse(serverBase, response);
    return isAcceptedLogin(response) ? Outcome::Accepted : Outcome::Rejected;
}

void KLoginFlow::finishAccepted(const KLoginForm& form)
{
    KLog::info(QStringLiteral("登录成功"), form.username);
    KLoginSettings::saveLoginSettings(form.protocol, form.address, form.username, form.password);
    emit sendScript(loginCallbackScript(QStringLiteral("0"), QString()));
    emit accepted();
}

QString KLoginFlow::send(const QString& url, const KLoginForm& form)
{
    const QUrl target(url, QUrl::TolerantMode);
    // A failure left from an earlier attempt must not be taken for this one's.
    KTlsSettings::clearFailure(target.host(), KTlsSettings::portOf(target));
    const QString response = KSession::sendLoginRequest(url, form.username, form.password);
    if (!response.isEmpty() || !trustAfterFailure(target))
        return response;
    return KSession::sendLoginRequest(url, form.username, form.password);
}

bool KLoginFlow::trustAfterFailure(const QUrl& url)
{
    const KTlsFailure failure = KTlsSettings::lastFailure(url.host(), KTlsSettings::portOf(url));
    if (failure.isNull() || failure.certificate.isNull())
        return false;
    KTlsSettings::clearFailure(failure.host, failure.port);
    const QString endpoint = endpointText(failure.host, failure.port);
    const QString fingerprint = KTlsSettings::fingerprint(failure.certificate);
    bool trusted = false;
    emit askTrust(failure, &trusted);
    if (!trusted) {
        KLog::info2(QStringLiteral("证书未被信任"), endpoint, fingerprint);
        return false;
    }
    KTlsSettings::pin(failure.host, failure.port, failure.certificate);
    KTlsSettings::savePins(KTlsSettings::pinFilePath());
    KLog::info2(QStringLiteral("已信任证书"), endpoint, fingerprint);
    return true;
}

std::optional<QString> KLoginFlow::redirectTarget(const QString& response, const QString& serverBase)
{
    // A redirecting server's data is a JSON text holding {"redirect": ...}.
    const QJsonValue data = KHttpTools::parseResponse(response);
    const QMap<QString, QJsonValue> inner = data.isString() ? KJsonTools::parseObject(data.toString())
                                                            : QMap<QString, QJsonValue>();
    if (!inner.contains(QStringLiteral("redirect")))
        return std::nullopt;
    const QString target = inner.value(QStringLiteral("redirect")).toString();
    return target.startsWith(QLatin1String("http")) ? target : serverBase + target;
}

bool KLoginFlow::isAcceptedLogin(const QString& response)
{
    const QMap<QString, QJsonValue> envelope = KJsonTools::parseObject(response);
    const QJsonObject data = envelope.value(QStringLiteral("data")).toObject();
    const KAccessData& session = WexoraBase::accessdata;
    // The code decides first: a refused login must not count because an
    // earlier login left keys in the session.
    return envelope.contains(QStringLiteral("code"))
           && KJsonTools::toInt64(envelope.value(QStringLiteral("code")).toDouble()) == 0
           && data.contains(QStringLiteral("userid")) && data.contains(QStringLiteral("accesskey"))
           && !session.userid.isEmpty() && !session.accesskeyid.isEmpty() && !session.accesskeysecret.isEmpty();
}

QString KLoginFlow::trustQuestionTitle()
{
    return QStringLiteral("证书不受信任");
}

QString KLoginFlow::trustQuestionText(const KTlsFailure& failure)
{
    return QStringLiteral("服务器 %1 出示的证书未通过验证。\n\n"
                          "主题：%2\n"
                          "SHA-256 指纹：\n%3\n"
                          "原因：%4\n\n"
                          "请与服务器管理员核对指纹，一致时才可信任。\n"
                          "是否信任此证书，并在以后连接该服务器时只接受这一个证书？")
        .arg(endpointText(failure.host, failure.port), subjectText(failure.certificate),
             KTlsSettings::fingerprint(failure.certificate), reasonsText(failure.errors));
}
