#include "app/kconstant.h"
#include "app/kjobqueue.h"

#include <QElapsedTimer>
#include <QThread>
#include <QtTest>

class TestKJobQueue : public QObject
{
    Q_OBJECT

private slots:
    void firstInFirstOut();
    void producersAndConsumerLoseNothing();
    void waiterWakesOnAppendNotOnTimeout();
    void changeBeforeWaitIsNotSleptThrough();
    void errorMapReplacesAndOrdersByPath();
    void takeOrWaitTakesOrSleepsUntilAJobArrives();
};

void TestKJobQueue::firstInFirstOut()
{
    KJobQueue<QString> queue;
    QVERIFY(queue.isEmpty());
    queue.append("a");
    queue.append("b");
    queue.append("c");
    QCOMPARE(queue.size(), 3);
    QString job;
    QVERIFY(queue.takeFirst(job));
    QCOMPARE(job, QStringLiteral("a"));
    QVERIFY(queue.takeFirst(job));
    QCOMPARE(job, QStringLiteral("b"));
    QVERIFY(queue.takeFirst(job));
    QCOMPARE(job, QStringLiteral("c"));
    QVERIFY(!queue.takeFirst(job));
}

void TestKJobQueue::producersAndConsumerLoseNothing()
{
    KJobQueue<int> queue;
    const int producers = 3;
    const int perProducer = 5000;
    QList<QThread*> threads;
    for (int p = 0; p < producers; ++p) {
        threads << QThread::create([&queue, p, perProducer] {
            for (int i = 0; i < perProducer; ++i)
                queue.append(p * perProducer + i);
        });
    }
    QList<int> taken;
    QThread* consumer = QThread::create([&] {
        while (taken.size() < producers * perProducer) {
            const quint64 seen = queue.generation();
            int job;
            if (queue.takeFirst(job))
                taken.append(job);
            else
                queue.waitForChange(seen, 1000);
        }
    });
    consumer->start();
    for (QThread* t : threads)
        t->start();
    for (QThread* t : threads) {
        QVERIFY(t->wait(30000));
        delete t;
    }
    QVERIFY(consumer->wait(30000));
    delete consumer;
    QCOMPARE(taken.size(), producers * perProducer);
    // Each producer's jobs come out in the order it put them in.
    QVector<int> last(producers, -1);
    for (int job : taken) {
        const int p = job / perProducer;
        QVERIFY(job > last[p]);
        last[p] = job;
    }
}

void TestKJobQueue::waiterWakesOnAppendNotOnTimeout()
{
    KJobQueue<int> queue;
    const quint64 seen = queue.generation();
    QElapsedTimer timer;
    timer.start();
    QThread* producer = QThread::create([&queue] {
        QThread::msleep(50);
        queue.append(7);
    });
    producer->start();
    QVERIFY(queue.waitForChange(seen, 20000));
    QVERIFY(timer.elapsed() < 15000);
    producer->wait();
    delete producer;
    QCOMPARE(queue.size(), 1);
}

void TestKJobQueue::changeBeforeWaitIsNotSleptThrough()
{
    KJobQueue<int> queue;
    const quint64 seen = queue.generation();
    queue.wake();
    QElapsedTimer timer;
    timer.start();
    QVERIFY(queue.waitForChange(seen, 20000));
    QVERIFY(timer.elapsed() < 15000);
    QVERIFY(!queue.waitForChange(queue.generation(), 10));
}

void TestKJobQueue::errorMapReplacesAndOrdersByPath()
{
    KErrorMap map;
    map.replace("/b", {"k", "/b", "@s/b", "upload", "1", "first"});
    map.replace("/a", {"k", "/a", "@s/a", "upload", "2", "x"});
    map.replace("/b", {"k", "/b", "@s/b", "upload", "3", "second"});
    QCOMPARE(map.size(), 2);
    const auto rows = map.rows();
    QCOMPARE(rows[0].value(1), QStringLiteral("/a"));
    QCOMPARE(rows[1].value(5), QStringLiteral("second"));
    QCOMPARE(KConstant::ErrorMap.size(), 0);
}

void TestKJobQueue::takeOrWaitTakesOrSleepsUntilAJobArrives()
{
    KJobQueue<int> queue;
    queue.append(1);
    int job = 0;
    QVERIFY(queue.takeOrWait(job, 20000));
    QCOMPARE(job, 1);
    QVERIFY(!queue.takeOrWait(job, 10)); // empty: times out

    QElapsedTimer timer;
    timer.start();
    QThread* producer = QThread::create([&queue] {
        QThread::msleep(50);
        queue.append(2);
    });
    producer->start();
    QVERIFY(!queue.takeOrWait(job, 20000)); // woken by the append, not by the time-out
    QVERIFY(timer.elapsed() < 15000);
    QVERIFY(queue.takeOrWait(job, 0));
    QCOMPARE(job, 2);
    producer->wait();
    delete producer;
}

QTEST_GUILESS_MAIN(TestKJobQueue)
#include "tst_kjobqueue.moc"
