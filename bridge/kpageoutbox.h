#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

// Scripts on their way from a window to its page. Until the page has opened
// its channel (its first message), scripts wait here instead of being lost.
// Afterwards the replies to the page's operations go out at once, in order
// after everything sent before them, while scripts the window sends on its
// own (transfer rows, progress) are gathered for a few milliseconds and go
// out together as one batch: a first sync of a big folder sends thousands a
// second, and each message costs the page a round of work.
class KPageOutbox : public QObject
{
    Q_OBJECT
public:
    explicit KPageOutbox(QObject* parent = nullptr);

    // The page is connected and listening (its first message arrived).
    void pageReady();
    // The page is loading again: what follows waits for its new channel.
    void pageGone();
    bool isPageReady() const { return ready; }

    // While a reply scope is open, post() delivers at once.
    class ReplyScope
    {
    public:
        explicit ReplyScope(KPageOutbox& outbox);
        ~ReplyScope();

    private:
        KPageOutbox& outbox;
    };

    static const int GatherMs = 30;
    // Several scripts as one: the page runs each on its own, so a failing
    // one does not stop the others.
    static QString batchScript(const QStringList& scripts);

public slots:
    void post(QString js);
    // Sends what waits, if the page is ready.
    void flush();

signals:
    void deliver(QString js);

private:
    QStringList waiting;
    QTimer gatherTimer;
    bool ready = false;
    int replyDepth = 0;
};
