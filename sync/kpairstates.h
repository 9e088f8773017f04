#pragma once

#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QStringList>

// Deletions a pass held back until the user confirms them.
struct KPendingDeletions
{
    QStringList local;  // relative paths to move to the desktop's trash
    QStringList server; // relative paths to remove on the server
    bool isEmpty() const { return local.isEmpty() && server.isEmpty(); }
};

// What one folder pair is doing, for the page and the command line.
struct KPairState
{
    QString id;
    bool comparing = false;
    bool paused = false;
    int uploads = 0;   // jobs waiting or running
    int downloads = 0;
    qint64 lastPass = 0;
    QString lastError;
    int conflicts = 0;
    bool deletionsCarried = true;
    QString watch = QStringLiteral("off"); // live, rescan or off
    KPendingDeletions pending;

    // idle, comparing, transferring, paused, failing or confirm.
    QString state() const;
    QJsonObject toJson() const;
};

// The states of every pair, written from the sync and transfer threads and
// read by the window: each change is announced by pairChanged (emitted on
// the thread that made it; receivers in other threads get it queued).
class KPairStates : public QObject
{
    Q_OBJECT
public:
    static KPairStates& instance();

    KPairState state(const QString& id) const;
    QList<KPairState> all() const;
    QJsonArray toJson(const QStringList& ids = {}) const;

    void passStarted(const QString& id);
    // An empty error is a pass that read both trees and decided every path.
    void passEnded(const QString& id, const QString& error, int conflicts);
    void jobQueued(const QString& id, int type);
    // type 1 download, 2 upload; a failure's reason becomes the last error.
    void jobEnded(const QString& id, int type, const QString& failure = QString());
    void setPaused(const QString& id, bool paused);
    void setWatch(const QString& id, const QString& mode);
    void setDeletionsCarried(const QString& id, bool carried);
    void setPending(const QString& id, const KPendingDeletions& pending);
    void forget(const QString& id);
    bool known(const QString& id) const;
    void clear();

signals:
    void pairChanged(QString id);

private:
    template <typename Change>
    void change(const QString& id, Change apply);

    mutable QMutex mutex;
    QHash<QString, KPairState> states;
};
