#pragma once

#include <QList>
#include <QString>
#include <QStringList>

// What the main window would hold for the main page, and the exact reply
// script it builds for each operation, so the page can be driven without a
// server or a database.
class KFakeMainData
{
public:
    QString userId = QStringLiteral("u1001");
    QString userName = QStringLiteral("张三");
    QList<QStringList> configs; // pk_id, localpath, spacepath, status, ignoretype, syncType, l_time (ms)
    QList<QStringList> logs;    // pk_id, localpath, spacepath, type, l_time (s), newest first
    QList<QStringList> errors;  // logid, local, space, "upload", time (ms), error text
    QString chosenLocalDir;     // what the folder dialog "returns"; empty = cancelled
    bool refuseSaves = false;

    // The script answering one operation; "" when the window answers with an empty script.
    QString reply(const QString& op, const QString& param);

    static QString rowText(const QList<QStringList>& rows);
    static QStringList config(const QString& id, const QString& local, const QString& space,
                              const QString& syncType, qint64 timeMs);

private:
    QString saveConfig(const QString& param);
    QString logPage(const QString& param) const;
    int nextId = 1;
};
