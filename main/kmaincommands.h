#pragma once

#include <QHash>
#include <QList>
#include <QMap>
#include <QObject>
#include <QString>
#include <QStringList>

class KFileSyncDatabase;

// The main page's operations without the window. Every message gets exactly
// one reply script, possibly empty, with each value escaped for the quote it
// sits in. What needs the window (the folder dialog, the picker, quitting,
// minimising, ending the event loop) leaves through signals. GUI thread only.
class KMainCommands : public QObject
{
    Q_OBJECT

public:
    // The store is the window's; it outlives this object.
    explicit KMainCommands(KFileSyncDatabase* store, QObject* parent = nullptr);

    // One operation of the main page; "" for operations without a reply and
    // for unknown ones.
    QString handle(const QString& op, const QString& param);

    static QString selectDirScript(const QString& path);
    // The picker's folder, twice, without a closing semicolon.
    static QString selectSpaceDirScript(const QString& dir);
    // code 0 with the saved configuration, code 1 when the store refused ("").
    static QString saveSyncConfigScript(const QString& saved);
    // Why a save was refused; sent just before the code-1 reply.
    static QString saveSyncRefusedScript(const QString& reason, const QString& text);
    static QString removeSyncScript(const QString& id);
    static QString reloadDataScript(const QString& rowText, const QString& userId, const QString& userName);
    static QString errorLogScript(const QString& rowText);
    static QString queryLogsScript(const QString& rowText);
    static QString addQueryLogsScript(const QString& rowText);
    // Upload queue, download queue and error count as they are right now.
    static QString counterScript();
    static QString pairStatesScript(const QString& json);
    static QString conflictsScript(const QString& json);
    static QString spacesScript(const QString& json);
    static QString productTitleScript(const QString& title);
    // Rows of the newest log page, for the page to put on top of its log.
    static QString newLogsScript(const QString& rowText);
    // newLogsScript() with the store's newest page as it is now.
    QString latestLogsScript() const;
    // The states of the stored pairs (all when ids is empty) as the page reads them.
    QString pairStatesJson(const QStringList& ids = {}) const;
    QString conflictsJson() const;
    // Current conflicts per stored pair id.
    QHash<QString, int> conflictCounts() const;
    // The session's spaces: [{"id","name"}].
    static QString spacesJson();

    static QString rowsToText(const QList<QStringList>& rows);
    // The failed uploads, by local path.
    static QList<QStringList> errorLogRows();
    // Logout: the settings file keeps server and title, loses user and password.
    static void clearLoginUser();

signals:
    // A script for the page besides the operation's reply, emitted before it.
    void script(QString js);
    // A pair was saved, deleted, paused or resumed.
    void pairsChanged();
    // Asked synchronously (connect directly); *path stays empty when cancelled.
    void askLocalDir(QString* path);
    void showServerPicker();
    void quitRequested();
    void minimiseRequested();
    // The event loop should end with this code (the restart code after logout).
    void exitRequested(int code);
    // A local folder to show in the file manager (inside a pair).
    void openFolderRequested(QString path);
    // The user's answer to the deletions a pass of this pair held back:
    // confirmed carries them out, otherwise the files are kept.
    void deletionsAnswered(QString id, bool confirmed);

private:
    using Handler = QString (KMainCommands::*)(const QMap<QString, QString>& fields);
    struct Operation
    {
        const char* name;
        Handler handler;
    };
    static const Operation operations[];

    QString doClose(const QMap<QString, QString>& fields);
    QString openLocalDir(const QMap<QString, QString>& fields);
    QString selectSpaceDir(const QMap<QString, QString>& fields);
    QString addSync(const QMap<QString, QString>& fields);
    QString deleteSync(const QMap<QString, QString>& fields);
    QString getConfig(const QMap<QString, QString>& fields);
    QString queryErrorLog(const QMap<QString, QString>& fields);
    QString queryLog(const QMap<QString, QString>& fields);
    QString addQueryLog(const QMap<QString, QString>& fields);
    QString doHide(const QMap<QString, QString>& fields);
    QString doLoginOut(const QMap<QString, QString>& fields);
    QString queryPairStates(const QMap<QString, QString>& fields);
    QString queryConflicts(const QMap<QString, QString>& fields);
    QString syncNow(const QMap<QString, QString>& fields);
    QString pausePair(const QMap<QString, QString>& fields);
    QString resumePair(const QMap<QString, QString>& fields);
    QString retryTransfer(const QMap<QString, QString>& fields);
    QString openFolder(const QMap<QString, QString>& fields);
    QString confirmDeletions(const QMap<QString, QString>& fields);
    QString rejectDeletions(const QMap<QString, QString>& fields);
    void answerDeletions(const QString& id, bool confirmed);

    // The stored pair whose local folder holds path, or an empty row.
    QStringList pairHolding(const QString& localPath) const;
    bool queuePass(const QStringList& row);

    KFileSyncDatabase* store;
};
