#pragma once

#include <QObject>
#include <QString>

// The login page's end of the web channel, published as "loginobj".
class LoginObj : public QObject
{
    Q_OBJECT

public:
    explicit LoginObj(QObject* parent = nullptr);

signals:
    void SigReceivedMessFromJS(QString op, QString param);
    void SigSendMessageToJS(QString js);

public:
    // Called by the page; logs the operation (password masked) and hands it on.
    Q_INVOKABLE void JSSendMessage(QString op, QString param);
};
