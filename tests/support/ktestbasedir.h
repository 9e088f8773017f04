#pragma once

#include <QString>
#include <QTemporaryDir>

// A private application base directory for one test: logs/, config/, db/,
// datas/ and the pages land here instead of next to the test binary.
class KTestBaseDir
{
public:
    // withPages copies resources/page of the source tree to <base>/page.
    explicit KTestBaseDir(bool withPages = false);
    ~KTestBaseDir();

    bool isValid() const { return dir.isValid(); }
    QString path() const { return dir.path(); }
    QString logsDir() const { return dir.path() + QStringLiteral("/logs"); }
    // Everything written to today's log file so far.
    QString todaysLog() const;
    // Creates logs/ and routes qDebug and friends to the log sink.
    void installLogSink();

private:
    QTemporaryDir dir;
    bool sinkInstalled = false;
};

// Copies a folder tree; true when every file was copied.
bool kCopyTree(const QString& from, const QString& to);
