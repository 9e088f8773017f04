#pragma once

#include "api/ktlssettings.h"

#include <QDialog>
#include <QMap>
#include <QString>
#include <functional>

class KLoginFlow;
class LoginObj;
class QWebEngineView;
class Ui_KLogin;

// The modal login window: hosts the login page, hands its messages to the
// login flow and shows what the flow asks for (warnings, the certificate
// question). Accepted after a successful login.
class KLogin : public QDialog
{
    Q_OBJECT

public:
    using WarningPresenter = std::function<void(const QString& title, const QString& text)>;
    using TrustPresenter = std::function<bool(const KTlsFailure& failure)>;

    explicit KLogin(QWidget* parent = nullptr);
    ~KLogin() override;

    // Message boxes by default; tests record instead of blocking on a box.
    void setWarningPresenter(WarningPresenter presenter);
    void setTrustPresenter(TrustPresenter presenter);

    static QString sendLoginRequest(const QString& url, const QString& username, const QString& password);
    static void parseLoginResponse(const QString& serverBase, const QString& responseText);
    static QString loginSettingsPath();
    static QMap<QString, QString> readLoginSettings();
    static void saveLoginSettings(const QString& protocol, const QString& address, const QString& username,
                                  const QString& password);

    QWebEngineView* webView = nullptr;
    LoginObj* loginObj = nullptr;

signals:
    void SigSendMessageToJS(QString strParameter);

private slots:
    void doLogin();
    void doHide();
    void doClose();
    void OnReceiveMessageFromJS(QString op, QString param);

private:
    void connectFlow();
    void showWarning(const QString& title, const QString& text);
    void answerTrust(const KTlsFailure& failure, bool* trusted);
    bool askTrustInBox(const KTlsFailure& failure);

    Ui_KLogin* ui;
    KLoginFlow* flow;
    WarningPresenter warningPresenter;
    TrustPresenter trustPresenter;
};
