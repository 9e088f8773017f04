#pragma once

#include <QString>
#include <QtGlobal>

// The log sink: every qDebug/qInfo/qWarning/qCritical line of every thread
// goes to <base>/logs/[yyyyMMdd]log.txt, one "\r\n"-terminated line each.
class KLog
{
public:
    static void outputMessage(QtMsgType type, const QMessageLogContext& context, const QString& msg);
    static void info(const QString& tag, const QString& text);
    static void info2(const QString& tag, const QString& text, const QString& second);

    static QString label(QtMsgType type);
    static QString formatLine(const QString& time, const QString& label, const QString& msg);
    static QString logFilePath(const QString& yyyymmdd);
};
