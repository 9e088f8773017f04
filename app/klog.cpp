#include "app/klog.h"

#include "app/kfiletools.h"

#include <QDateTime>
#include <QDebug>
#include <QFile>
#include <QMutex>
#include <QMutexLocker>
#include <QTextStream>

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

void KLog::outputMessage(QtMsgType type, const QMessageLogContext& context, const QString& msg)
{
    Q_UNUSED(context)
    static QMutex mutex;
    QMutexLocker lock(&mutex);
    const QString time = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"));
    const QString line = formatLine(time, label(type), msg);
    QFile file(logFilePath(QDate::currentDate().toString(QStringLiteral("yyyyMMdd"))));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
        return;
    QTextStream stream(&file);
    stream.setCodec("UTF-8");
    stream << line << "\r\n";
    stream.flush();
    file.close();
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
