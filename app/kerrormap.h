#pragma once

#include <QList>
#include <QMap>
#include <QMutex>
#include <QString>
#include <QStringList>

// The failed-transfer map: local path -> six texts (row key, local path,
// server path, "upload" or "download", time in ms, error text). Written by
// the transfer threads, read by the GUI thread; every access holds the
// map's own lock.
class KErrorMap
{
public:
    void replace(const QString& localPath, const QStringList& row);
    // A file that transferred after all is no longer a failure.
    void remove(const QString& localPath);
    int size() const;
    // All rows in ascending key order (by local path).
    QList<QStringList> rows() const;
    QMap<QString, QStringList> snapshot() const;
    void clear();

private:
    mutable QMutex mutex;
    QMap<QString, QStringList> entries;
};
