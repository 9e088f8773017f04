#include "app/klog.h"

#include "app/kfiletools.h"

#include <QDateTime>
#include <QDebug>
#include <QFile>
#include <QMutex>
#include <QMutexLocker>

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
    QString time;
    QString day;
    QFile file;

    void advanceClock()
    {
        const qint64 now = QDateTime::currentMSecsSinceEpoch() / 1000;
        if (now == second)
            return;
        const QDateTime local = QDateTime::currentDateTime();
        second = now;
        time = local.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"));
        day = local.date().toString(QStringLiteral("yyyyMMdd"));
    }

    // Opened again when the day or the base changes, or when the file went
    // away (a removed logs folder means no log, as before).
    bool ready()
    {
        const QString path = KLog::logFilePath(day);
        if (file.isOpen() && file.fileName() == path && QFile::exists(path))
            return true;
        file.close();
        file.setFileName(path);
        return file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered);
    }
};

} // namespace

void KLog::outputMessage(QtMsgType type, const QMessageLogContext& context, const QString& msg)
{
    Q_UNUSED(context)
    static QMutex mutex;
    static KLogSink sink;
    QMutexLocker lock(&mutex);
    sink.advanceClock();
    if (sink.ready())
        sink.file.write(formatLine(sink.time, label(type), msg).toUtf8() + "\r\n");
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
