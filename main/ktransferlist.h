#pragma once

#include <QList>
#include <QString>
#include <QStringList>

// Texts of the main page's transfer list and tables: row keys, byte counts,
// and the page scripts that add, update and finish rows. Pure functions; the
// main window emits what they build.
class KTransferList
{
public:
    // Transfer-row key: lower-case hex MD5 of the path's Latin-1 bytes.
    static QString logId(const QString& localPath);
    static QString sizeText(qint64 bytes);

    // type 1 is a download, anything else an upload.
    static QString rowRecord(int type, const QString& localPath, const QString& serverPath, qint64 filesize);
    static QString addTransferScript(int type, const QString& localPath, const QString& serverPath, qint64 filesize);
    static QString counterScript(int uploadQueue, int downloadQueue, int errors);
    static QString refreshScript(const QString& localPath, int percent, const QString& speed, const QString& progress);
    static QString finishScript(const QString& localPath);
    // Marks the row failed with its reason; a later finishScript leaves it so.
    static QString failScript(const QString& localPath, const QString& reason);

    // Rows of texts as a JSON array of "#@#"-joined strings.
    static QString rowsToText(const QList<QStringList>& rows);
};
