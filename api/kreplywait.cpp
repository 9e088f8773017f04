#include "api/kreplywait.h"

#include "app/kinterruption.h"

#include <QNetworkReply>
#include <QTimer>

void KReplyWait::wait(QNetworkReply* reply, QEventLoop::ProcessEventsFlags flags)
{
    if (reply->isFinished())
        return;
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QTimer stopCheck;
    QObject::connect(&stopCheck, &QTimer::timeout, reply, [reply] {
        if (KInterruption::requested())
            reply->abort();
    });
    stopCheck.start(StopCheckMs);
    loop.exec(flags);
}
