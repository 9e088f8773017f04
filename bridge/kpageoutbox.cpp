#include "bridge/kpageoutbox.h"

#include <QJsonArray>
#include <QJsonDocument>

KPageOutbox::KPageOutbox(QObject* parent)
    : QObject(parent)
{
    gatherTimer.setSingleShot(true);
    gatherTimer.setInterval(GatherMs);
    connect(&gatherTimer, &QTimer::timeout, this, &KPageOutbox::flush);
}

void KPageOutbox::pageReady()
{
    ready = true;
    flush();
}

void KPageOutbox::pageGone()
{
    ready = false;
}

void KPageOutbox::post(QString js)
{
    if (js.isEmpty() && replyDepth == 0)
        return;
    waiting.append(js);
    if (!ready)
        return;
    if (replyDepth > 0)
        flush();
    else if (!gatherTimer.isActive())
        gatherTimer.start();
}

void KPageOutbox::flush()
{
    gatherTimer.stop();
    if (!ready || waiting.isEmpty())
        return;
    const QString text = waiting.size() == 1 ? waiting.first() : batchScript(waiting);
    waiting.clear();
    emit deliver(text);
}

QString KPageOutbox::batchScript(const QStringList& scripts)
{
    const QByteArray list = QJsonDocument(QJsonArray::fromStringList(scripts)).toJson(QJsonDocument::Compact);
    return QStringLiteral("KBridge.runBatch(") + QString::fromUtf8(list) + QStringLiteral(");");
}

KPageOutbox::ReplyScope::ReplyScope(KPageOutbox& outbox)
    : outbox(outbox)
{
    ++outbox.replyDepth;
}

KPageOutbox::ReplyScope::~ReplyScope()
{
    --outbox.replyDepth;
}
