#include "app/klog.h"

#include "app/kfiletools.h"

#include <QDateTime>
#include <QDebug>
#include <QFile>
#include <QMutex>
#include <QMutexLocker>

#include <sys/stat.h>

QString KLog::label(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return QStringLiteral("[Debug]");
    case QtWarningMsg:
        return QStringLiteral("[Error]");
    case QtCriticalMsg:
        return QStringLiteral("[Critical]");
    case QtInfoMsg:
        return QStringLiteral("[Info]");
    default:
        return QString();
    }
}

QString KLog::formatLine(const QString& time, const QString& label, const QString& msg)
{
    // Filled one placeholder at a time, message last, so "%1" in a message survives.
    return QStringLiteral("%1 %2 %3").arg(time).arg(label).arg(msg);
}

QString KLog::logFilePath(const QString& yyyymmdd)
{
    return KFileTools::appBaseDir() + QStringLiteral("/logs/[") + yyyymmdd + QStringLiteral("]log.txt");
}

namespace {

// What stays from line to line: the time text of the current second (local
// time costs a time-zone lookup) and the open log file. Under load a client
// writes hundreds of lines a second.
struct KLogSink
{
    qint64 second = -1;
    qint64 checkedSecond = -1;
    QString time;
    QString day;
    QFile file;

    void advanceClock()
    {
        const qint64 ms = QDateTime::currentMSecsSinceEpoch();
        if (ms / 1000 == second)
            return;
        const QDateTime local = QDateTime::fromMSecsSinceEpoch(ms);
        second = ms / 1000;
        time = local.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"));
        day = local.date().toString(QStringLiteral("yyyyMMdd"));
    }

    // Opened again when the day or the base changes, or when the file at the
    // path is no longer the open one (removed: no log, as before; replaced
    // by another process: its new file). A removed file is seen at once
    // (no links left); the look up of the path, which a renamed file needs,
    // is taken once a second rather than for every line.
    bool ready()
    {
        const QString path = KLog::logFilePath(day);
        if (file.isOpen() && file.fileName() == path && stillLinked() && (checkedSecond == second || stillThere())) {
            checkedSecond = second;
            return true;
        }
        checkedSecond = second;
        file.close();
        file.setFileName(path);
        return file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered);
    }

    bool stillLinked() const
    {
        struct stat open;
        return ::fstat(file.handle(), &open) == 0 && open.st_nlink > 0;
    }

    bool stillThere() const
    {
        struct stat open;
        struct stat named;
        return ::fstat(file.handle(), &open) == 0 && ::stat(QFile::encodeName(file.fileName()).constData(), &named) == 0
               && open.st_ino == named.st_ino && open.st_dev == named.st_dev;
    }
};

} // namespace

void KLog::outputMessage(QtMsgType type, const QMessageLogContext& context, const QString& msg)
{
    Q_UNUSED(context)
    // Never destroyed: lines may still come from other threads and from
    // static destructors while the program exits.
    static QBasicMutex mutex;
    static KLogSink* const sink = new KLogSink;
    QMutexLocker lock(&mutex);
    sink->advanceClock();
    if (sink->ready())
        sink->file.write(formatLine(sink->time, label(type), msg).toUtf8() + "\r\n");
}

void KLog::info(const QString& tag, const QString& text)
{
    qInfo() << QString(QStringLiteral("[") + tag + QStringLiteral("] ") + text);
}

void KLog::info2(const QString& tag, const QString& text, const QString& second)
{
    info(tag, text);
    qInfo() << second;
}
