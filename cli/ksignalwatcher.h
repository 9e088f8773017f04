#pragma once

#include <QObject>

class QSocketNotifier;

// SIGINT and SIGTERM as a Qt signal on the thread that made the watcher: the
// handler only writes the signal's number into a socket pair, whose reading
// end an event loop watches.
class KSignalWatcher : public QObject
{
    Q_OBJECT
public:
    explicit KSignalWatcher(QObject* parent = nullptr);
    ~KSignalWatcher() override;

signals:
    void received(int signalNumber);

private:
    void readSignal();
    static void handle(int signalNumber);

    QSocketNotifier* notifier = nullptr;
};
