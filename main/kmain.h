#pragma once

#include "main/ktraystatus.h"

#include <QIcon>
#include <QList>
#include <QString>
#include <QStringList>
#include <QSet>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QWidget>
#include <functional>

class KDownloadManager;
class KDownloadTransfer;
class KFileSyncDatabase;
class KFileSyncManager;
class KFileSyncOnceManager;
class KMainCommands;
class KSpaceTreeDialog;
class KSyncEngine;
class KPageOutbox;
class KUploadManager;
class MainObj;
class QAction;
class QMenu;
class QNetworkAccessManager;
class QNetworkReply;
class QWebEngineView;
class Ui_KMain;

// The main window: hosts the main page, answers its operations (through
// KMainCommands), turns transfer events into page scripts, owns the tray
// icon and the server folder picker, and starts the background threads.
class KMain : public QWidget
{
    Q_OBJECT

public:
    using MessagePresenter = std::function<void(const QString& title, const QString& text)>;
    // Returns the chosen folder, or "" when the user cancelled.
    using FolderPresenter = std::function<QString()>;

    // A database that cannot be opened is reported through the presenter (a
    // message box by default) and leaves the window unusable: nothing is
    // started, no page is loaded.
    explicit KMain(QWidget* parent = nullptr, MessagePresenter databaseErrorPresenter = MessagePresenter());
    ~KMain() override;

    // The one main window; the application object restores it on activation.
    static KMain* KMainWindow;

    // False when the database could not be opened; the program then ends
    // without running its event loop.
    bool isUsable() const { return usable; }
    // Shows the window and runs the application's event loop; returns the
    // loop's exit code, or 0 at once, without showing anything, when unusable.
    int runEventLoop();
    // The local folder dialog by default; tests answer without a dialog.
    void setLocalDirPresenter(FolderPresenter presenter);

    static QString logId(const QString& localPath);
    static QString sizeText(qint64 bytes);
    static QString rowsToText(const QList<QStringList>& rows);
    static QList<QStringList> errorLogRows();
    static void clearLoginUser();
    static QString databaseErrorText(const QString& databasePath);

    // Makes sure the database and its tables exist; false when it cannot be opened.
    bool initDataBase();
    void startThread();
    void createActions();
    void createTrayIcon();

    KSpaceTreeDialog* spaceTreeDialog = nullptr;
    Ui_KMain* ui;
    QSystemTrayIcon* trayIcon = nullptr;
    QMenu* trayIconMenu = nullptr;
    QAction* openMainAction = nullptr;
    QAction* loginOutAction = nullptr;
    QAction* exitAction = nullptr;
    QWebEngineView* webView = nullptr;
    MainObj* mainObj = nullptr;
    KUploadManager* uploadThread = nullptr;
    KDownloadManager* downloadThread = nullptr;
    KFileSyncDatabase* syncDatabase = nullptr;
    KFileSyncManager* fileSyncThread = nullptr;
    KFileSyncOnceManager* fileSyncOnceThread = nullptr;
    QNetworkAccessManager* networkManager = nullptr;

    // The tray's picture for a state: the product icon, marked when syncing or failing.
    static QIcon trayIconFor(const QIcon& product, KTrayStatus::State state);

signals:
    void SigSendMessageToJS(QString strParameter);
    // A notification for the user; the tray shows it where the desktop can.
    void trayMessage(QString title, QString text);

public slots:
    void iconActivated(QSystemTrayIcon::ActivationReason reason);
    void openMain();
    void loginOut();
    void exitApp();
    void refreshProgress(int type, QString localPath, int percent, QString speed, QString progress);
    void addFileItem(int type, QString localPath, QString serverPath, qint64 filesize);
    void deleteFileItem(int type, QString localPath);
    void failFileItem(int type, QString localPath, QString reason);
    // The network half of a download runs in KDownloadTransfer, which holds
    // the download's state and listens to networkManager itself; these are
    // the window's entry points to it.
    void downloadFile(QString localpath, QString serverpath, qint64 filesize, QString datahash);
    void replyFinished(QNetworkReply* reply);
    void onDownloadProgress(qint64 bytesSent, qint64 bytesTotal);
    void onReadyRead();
    void OnReceiveMessageFromJS(QString op, QString param);
    void setServerDir(QString dir);

private:
    void setUpWindow();
    void reportDatabaseError();
    void createPicker();
    void showTrayIcon();
    void hostPage();
    void connectCommands();
    void bringToFront();
    void answerLocalDir(QString* path);
    void createEngine();
    void routeScriptsThroughOutbox();
    void introducePage();
    void followPairStates();
    void sendPairStates();
    void notePairStates(const QStringList& ids);
    void followTransfersOnTray();
    void followFinishedTransfers();
    void showTrayStatus();
    void showTrayMessage(const QString& title, const QString& text);
    void noticeFailure(const QString& localPath, const QString& reason);
    void sendNewLogs();
    bool certificateRefused() const;
    QString showLocalDirDialog();

    KMainCommands* commands = nullptr;
    KSyncEngine* engine = nullptr;
    KPageOutbox* outbox = nullptr;
    QTimer pairStateTimer;
    QSet<QString> changedPairs;
    static const int PairStateIntervalMs = 250;
    static const int MinimumWidth = 640;
    static const int MinimumHeight = 480;
    // The tray follows transfers at most three times a second.
    KTrayStatus trayStatus;
    QTimer trayTimer;
    QIcon productIcon;
    QString trayTitle; // the product title as the icon was made
    int trayShown = -1;
    static const int TrayIntervalMs = 300;
    // Finished transfers bring their log rows to the page, once a second at most.
    QTimer newLogsTimer;
    static const int NewLogsIntervalMs = 1000;
    KDownloadTransfer* downloadTransfer = nullptr;
    MessagePresenter databaseErrorPresenter;
    FolderPresenter localDirPresenter;
    bool usable = true;
};
