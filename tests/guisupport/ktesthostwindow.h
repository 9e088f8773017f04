#pragma once

#include "bridge/kpagehost.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <QWidget>
#include <functional>

class QWebEngineView;

// One operation as the page sent it.
struct KPageOp
{
    QString op;
    QString param;
};

// Stands in for the login or main window: hosts a page with KPageHost,
// records every operation and lets the test answer with scripts, exactly the
// way a real window is wired.
class KTestHostWindow : public QWidget
{
    Q_OBJECT

public:
    using Handler = std::function<void(KTestHostWindow& window, const QString& op, const QString& param)>;

    explicit KTestHostWindow(const QSize& size, QWidget* parent = nullptr);

    template <typename Bridge>
    Bridge* hostPage(const QString& channelName, const QString& pageFile)
    {
        const KHostedPage<Bridge> page = KPageHost::host<Bridge>(this, channelName, pageFile);
        webView = page.view;
        return page.bridge;
    }

    QWebEngineView* view() const { return webView; }

    // Runs inside OnReceiveMessageFromJS, before it returns (as the real windows answer).
    void setHandler(Handler handler) { onOp = std::move(handler); }
    void reply(const QString& script) { emit SigSendMessageToJS(script); }

    const QList<KPageOp>& received() const { return ops; }
    QStringList receivedOps() const;
    int count(const QString& op) const;
    // Parameter of the latest operation of that name; a null text when none came.
    QString lastParam(const QString& op) const;
    bool waitForOp(const QString& op, int atLeast = 1, int timeoutMs = 15000) const;
    void clearReceived() { ops.clear(); }

signals:
    void SigSendMessageToJS(QString strParameter);

public slots:
    void OnReceiveMessageFromJS(QString op, QString param);

private:
    QWebEngineView* webView = nullptr;
    QList<KPageOp> ops;
    Handler onOp;
};
