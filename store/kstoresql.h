#pragma once

#include <QElapsedTimer>
#include <QSqlQuery>
#include <QString>
#include <QVariantList>

// Statements on the calling thread's connection to the sync store, for the
// tables kept beside the two specified ones.
class KStoreSql
{
public:
    // Prepares, binds in order and runs; the query is forward-only.
    static QSqlQuery run(const QString& statement, const QVariantList& values = {});
};

// Groups the store writes of one long piece of work (a pass over a large
// tree) into transactions of a bounded size and age: each write on its own
// would cost a commit, and one transaction for a whole pass would keep the
// other threads' writers waiting for as long as the pass runs.
class KStoreBatch
{
public:
    explicit KStoreBatch(int maxWrites = 500, int maxMs = 200);
    ~KStoreBatch();
    KStoreBatch(const KStoreBatch&) = delete;
    KStoreBatch& operator=(const KStoreBatch&) = delete;

    // After a write: commits when the batch is big or old enough.
    void wrote();
    void commit();

private:
    void begin();

    int maxWrites;
    int maxMs;
    int writes = 0;
    bool open = false;
    QElapsedTimer age;
};
