#include "login/klogin.h"

#include "app/klog.h"
#include "bridge/klogredact.h"
#include "bridge/kpagehost.h"
#include "bridge/loginobj.h"
#include "login/kloginflow.h"
#include "login/kloginsettings.h"
#include "login/ksession.h"
#include "ui_klogin.h"

#include <QCoreApplication>
#include <QMessageBox>
#include <QWebEngineView>

KLogin::KLogin(QWidget* parent)
    : QDialog(parent)
    , ui(new Ui_KLogin)
    , flow(new KLoginFlow(this))
{
    ui->setupUi(this);
    setWindowFlags(Qt::FramelessWindowHint | Qt::WindowMinimizeButtonHint);
    const KHostedPage<LoginObj> page = KPageHost::host<LoginObj>(
        this, &KLogin::OnReceiveMessageFromJS, &KLogin::SigSendMessageToJS, QStringLiteral("loginobj"),
        QStringLiteral("/page/login.html"));
    webView = page.view;
    loginObj = page.bridge;
    warningPresenter = [this](const QString& title, const QString& text) {
        QMessageBox::warning(this, title, text, QMessageBox::Yes);
    };
    trustPresenter = [this](const KTlsFailure& failure) { return askTrustInBox(failure); };
    connectFlow();
}

KLogin::~KLogin()
{
    delete ui;
}

void KLogin::connectFlow()
{
    connect(flow, &KLoginFlow::sendScript, this, &KLogin::SigSendMessageToJS);
    connect(flow, &KLoginFlow::warn, this, &KLogin::showWarning);
    // The flow waits for the answer, so the question is asked in its call.
    connect(flow, &KLoginFlow::askTrust, this, &KLogin::answerTrust, Qt::DirectConnection);
    connect(flow, &KLoginFlow::accepted, this, &QDialog::accept);
    connect(flow, &KLoginFlow::hideRequested, this, &KLogin::doHide);
    connect(flow, &KLoginFlow::exitRequested, this, &KLogin::doClose);
}

void KLogin::setWarningPresenter(WarningPresenter presenter)
{
    warningPresenter = std::move(presenter);
}

void KLogin::setTrustPresenter(TrustPresenter presenter)
{
    trustPresenter = std::move(presenter);
}

void KLogin::OnReceiveMessageFromJS(QString op, QString param)
{
    // The page sends the password in plain text; the log gets "***".
    KLog::info(QStringLiteral("op=") + op, KLogRedact::params(param));
    flow->handle(op, param);
}

void KLogin::doLogin()
{
}

void KLogin::doHide()
{
    hide();
}

void KLogin::doClose()
{
    QCoreApplication::exit(0);
}

void KLogin::showWarning(const QString& title, const QString& text)
{
    if (warningPresenter)
        warningPresenter(title, text);
}

void KLogin::answerTrust(const KTlsFailure& failure, bool* trusted)
{
    *trusted = trustPresenter && trustPresenter(failure);
}

bool KLogin::askTrustInBox(const KTlsFailure& failure)
{
    QMessageBox box(QMessageBox::Warning, KLoginFlow::trustQuestionTitle(), KLoginFlow::trustQuestionText(failure),
                    QMessageBox::Yes | QMessageBox::No, this);
    // Trusting takes a deliberate click; Enter and Escape both refuse.
    box.setDefaultButton(QMessageBox::No);
    box.setEscapeButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

QString KLogin::sendLoginRequest(const QString& url, const QString& username, const QString& password)
{
    return KSession::sendLoginRequest(url, username, password);
}

void KLogin::parseLoginResponse(const QString& serverBase, const QString& responseText)
{
    KSession::parseLoginResponse(serverBase, responseText);
}

QString KLogin::loginSettingsPath()
{
    return KLoginSettings::loginSettingsPath();
}

QMap<QString, QString> KLogin::readLoginSettings()
{
    return KLoginSettings::readLoginSettings();
}

void KLogin::saveLoginSettings(const QString& protocol, const QString& address, const QString& username,
                               const QString& password)
{
    KLoginSettings::saveLoginSettings(protocol, address, username, password);
}
