#pragma once

#include <QHash>
#include <QJsonObject>
#include <QMutex>
#include <QString>

// Per-operation request counters and byte totals, read by tests to see which
// requests a client sent.
class KRequestStats
{
public:
    void add(const QString& name, qint64 amount = 1);
    qint64 value(const QString& name) const;
    QJsonObject snapshot() const;
    void reset();

private:
    mutable QMutex mutex;
    QHash<QString, qint64> counters;
};
