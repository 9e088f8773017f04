#pragma once

#include <QObject>
#include <QString>

// The main page's end of the web channel, published as "mainobj".
class MainObj : public QObject
{
    Q_OBJECT

public:
    explicit MainObj(QObject* parent = nullptr);

signals:
    void SigReceivedMessFromJS(QString op, QString param);
    void SigSendMessageToJS(QString js);

public:
    // Called by the page; the main window logs what it needs itself.
    Q_INVOKABLE void JSSendMessage(QString op, QString param);
};
