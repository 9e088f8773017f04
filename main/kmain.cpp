#include "main/kmain.h"

#include "api/ktlssettings.h"
#include "app/kconstant.h"
#include "app/kfiletools.h"
#include "app/klog.h"
#include "bridge/kpagehost.h"
#include "bridge/kpageoutbox.h"
#include "bridge/mainobj.h"
#include "dialogs/kspacetreedialog.h"
#include "login/ksession.h"
#include "main/kmaincommands.h"
#include "main/ktransferlist.h"
#include "store/kfilesyncdatabase.h"
#include "sync/kfilesyncmanager.h"
#include "sync/kfilesynconcemanager.h"
#include "sync/kpairstates.h"
#include "sync/kpairwatching.h"
#include "sync/ksyncengine.h"
#include "transfer/kdownloadmanager.h"
#include "transfer/kdownloadtransfer.h"
#include "transfer/kuploadmanager.h"
#include "ui_kmain.h"

#include <QAction>
#include <QDateTime>
#include <QPolygonF>
#include <QPainter>
#include <QPen>
#include <QVBoxLayout>
#include <QApplication>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QUrl>
#include <QDebug>
#include <QFileDialog>
#include <QIcon>
#include <QMenu>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QWebEngineView>

#include <optional>

namespace {

// A white glyph in the badge, drawn with lines so that no font is needed:
// "!" for an error, an up and a down arrow while syncing.
void drawBadgeGlyph(QPainter& painter, const QRectF& badge, bool error)
{
    const qreal u = badge.width() / 10;
    const QPointF c = badge.center();
    painter.setPen(QPen(Qt::white, 1.6 * u, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    if (error) {
        painter.drawLine(QPointF(c.x(), c.y() - 3 * u), QPointF(c.x(), c.y() + 0.8 * u));
        painter.drawPoint(QPointF(c.x(), c.y() + 3 * u));
        return;
    }
    const qreal left = c.x() - 1.8 * u;
    const qreal right = c.x() + 1.8 * u;
    painter.drawPolyline(QPolygonF({{left - 1.5 * u, c.y() - 1.5 * u}, {left, c.y() - 3 * u}, {left + 1.5 * u, c.y() - 1.5 * u}}));
    painter.drawLine(QPointF(left, c.y() - 3 * u), QPointF(left, c.y() + 3 * u));
    painter.drawPolyline(QPolygonF({{right - 1.5 * u, c.y() + 1.5 * u}, {right, c.y() + 3 * u}, {right + 1.5 * u, c.y() + 1.5 * u}}));
    painter.drawLine(QPointF(right, c.y() - 3 * u), QPointF(right, c.y() + 3 * u));
}

} // namespace

KMain* KMain::KMainWindow = nullptr;

KMain::KMain(QWidget* parent, MessagePresenter databaseErrorPresenter)
    : QWidget(parent)
    , ui(new Ui_KMain)
    , databaseErrorPresenter(std::move(databaseErrorPresenter))
{
    setUpWindow();
    KMainWindow = this;
    createActions();
    createTrayIcon();
    if (!initDataBase()) {
        reportDatabaseError();
        return;
    }
    // Everything the threads can reach exists before the first one starts:
    // the picker's listings wait in nested event loops, in which queued
    // signals of running threads would otherwise arrive at a half-built window.
    createPicker();
    // Downloads run their network half here; the download slots attach to
    // its finished signal.
    networkManager = new QNetworkAccessManager(this);
    qInfo() << QStringLiteral("KMain初始化");
    showTrayIcon();
    syncDatabase = new KFileSyncDatabase;
    createEngine();
    commands = new KMainCommands(syncDatabase, this);
    connectCommands();
    hostPage();
    introducePage();
    followPairStates();
    followTransfersOnTray();
    followFinishedTransfers();
    startThread();
}

KMain::~KMain()
{
    if (KMainWindow == this)
        KMainWindow = nullptr;
    // The threads end before what they use goes.
    delete engine;
    delete syncDatabase;
    delete ui;
}

void KMain::setUpWindow()
{
    ui->setupUi(this);
    // The product title of the login settings names the window in task bars.
    setWindowTitle(KLoginControl::WexoraTitle);
    // The page fills the window at any size, so the window may be maximised.
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint
                   | Qt::CustomizeWindowHint | Qt::WindowCloseButtonHint);
    setMinimumSize(MinimumWidth, MinimumHeight);
}

int KMain::runEventLoop()
{
    if (!usable)
        return 0;
    show();
    return QApplication::exec();
}

bool KMain::initDataBase()
{
    try {
        KFileSyncDatabase().initDatabase();
        return true;
    } catch (const char* error) {
        KLog::info2(QStringLiteral("KMain::initDataBase"), KFileSyncDatabase::databasePath(), QString::fromUtf8(error));
    } catch (...) {
        KLog::info(QStringLiteral("KMain::initDataBase"), KFileSyncDatabase::databasePath());
    }
    return false;
}

QString KMain::databaseErrorText(const QString& databasePath)
{
    return QStringLiteral("无法打开数据库文件：\n%1\n\n请检查该位置是否存在且可写。程序将退出。").arg(databasePath);
}

void KMain::reportDatabaseError()
{
    usable = false;
    // The message box activates the application; there is no window to restore.
    KMainWindow = nullptr;
    const QString text = databaseErrorText(KFileSyncDatabase::databasePath());
    if (databaseErrorPresenter)
        databaseErrorPresenter(KLoginControl::WexoraTitle, text);
    else
        QMessageBox::critical(this, KLoginControl::WexoraTitle, text);
}

void KMain::createEngine()
{
    engine = new KSyncEngine(networkManager, syncDatabase);
    uploadThread = engine->uploadThread();
    connect(uploadThread, &KUploadManager::sendrefreshProgress, this, &KMain::refreshProgress);
    connect(uploadThread, &KUploadManager::addFileItem, this, &KMain::addFileItem);
    connect(uploadThread, &KUploadManager::deleteFileItem, this, &KMain::deleteFileItem);
    connect(uploadThread, &KUploadManager::failFileItem, this, &KMain::failFileItem);
    downloadThread = engine->downloadThread();
    connect(downloadThread, &KDownloadManager::sendrefreshProgress, this, &KMain::refreshProgress);
    connect(downloadThread, &KDownloadManager::addFileItem, this, &KMain::addFileItem);
    connect(downloadThread, &KDownloadManager::deleteFileItem, this, &KMain::deleteFileItem);
    connect(downloadThread, &KDownloadManager::failFileItem, this, &KMain::failFileItem);
    downloadTransfer = engine->downloadTransfer();
    connect(downloadTransfer, &KDownloadTransfer::refreshProgress, this, &KMain::refreshProgress);
    connect(downloadTransfer, &KDownloadTransfer::deleteFileItem, this, &KMain::deleteFileItem);
    connect(downloadTransfer, &KDownloadTransfer::failFileItem, this, &KMain::failFileItem);
    fileSyncThread = engine->periodicThread();
    fileSyncOnceThread = engine->onceThread();
}

// Upload, download, periodic and one-time threads, in that order; each
// transfer thread's signals already lead to this window's slots.
void KMain::startThread()
{
    if (engine)
        engine->start();
}

// The engine hands downloads to its transfer directly; this slot serves
// callers that talk to the window.
void KMain::downloadFile(QString localpath, QString serverpath, qint64 filesize, QString datahash)
{
    downloadTransfer->downloadFile(localpath, serverpath, filesize, datahash);
}

void KMain::replyFinished(QNetworkReply* reply)
{
    downloadTransfer->replyFinished(reply);
}

void KMain::onDownloadProgress(qint64 bytesSent, qint64 bytesTotal)
{
    downloadTransfer->onDownloadProgress(bytesSent, bytesTotal);
}

void KMain::onReadyRead()
{
    downloadTransfer->onReadyRead();
}

void KMain::createPicker()
{
    spaceTreeDialog = new KSpaceTreeDialog(this, QStringLiteral("选择文件夹"), false);
    connect(spaceTreeDialog, &KSpaceTreeDialog::selectServerDir, this, &KMain::setServerDir);
}

void KMain::createActions()
{
    openMainAction = new QAction(tr("打开主界面"), this);
    connect(openMainAction, &QAction::triggered, this, &KMain::openMain);
    loginOutAction = new QAction(tr("注销"), this);
    connect(loginOutAction, &QAction::triggered, this, &KMain::loginOut);
    exitAction = new QAction(tr("退出"), this);
    connect(exitAction, &QAction::triggered, this, &KMain::exitApp);
}

void KMain::createTrayIcon()
{
    trayIconMenu = new QMenu(this);
    trayIconMenu->addAction(openMainAction);
    trayIconMenu->addAction(loginOutAction);
    trayIconMenu->addAction(exitAction);
    trayIcon = new QSystemTrayIcon(this);
    trayTitle = KLoginControl::WexoraTitle;
    trayIcon->setToolTip(trayTitle);
    productIcon = QIcon(KFileTools::installDir() + QStringLiteral("/page/img/logo.ico"));
    trayIcon->setIcon(productIcon);
    trayIcon->setContextMenu(trayIconMenu);
}

void KMain::showTrayIcon()
{
    connect(trayIcon, &QSystemTrayIcon::activated, this, &KMain::iconActivated);
    trayIcon->setVisible(true);
}

void KMain::connectCommands()
{
    connect(commands, &KMainCommands::deletionsAnswered, engine, &KSyncEngine::answerDeletions);
    connect(commands, &KMainCommands::pairsChanged, engine->watching(), &KPairWatching::refresh);
    // The folder is asked for inside the operation, so the question is direct.
    connect(commands, &KMainCommands::script, this, &KMain::SigSendMessageToJS);
    connect(commands, &KMainCommands::openFolderRequested, this,
            [](const QString& path) { QDesktopServices::openUrl(QUrl::fromLocalFile(path)); });
    connect(commands, &KMainCommands::askLocalDir, this, &KMain::answerLocalDir, Qt::DirectConnection);
    connect(commands, &KMainCommands::showServerPicker, spaceTreeDialog, &QWidget::show);
    connect(commands, &KMainCommands::quitRequested, this, &QCoreApplication::quit);
    connect(commands, &KMainCommands::minimiseRequested, this, &QWidget::showMinimized);
    connect(commands, &KMainCommands::exitRequested, this, &QCoreApplication::exit);
}

void KMain::hostPage()
{
    const KHostedPage<MainObj> page = KPageHost::host<MainObj>(
        this, &KMain::OnReceiveMessageFromJS, &KMain::SigSendMessageToJS, QStringLiteral("mainobj"),
        QStringLiteral("/page/main.html"));
    webView = page.view;
    mainObj = page.bridge;
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(webView);
    routeScriptsThroughOutbox();
}

// Scripts sent before the page has opened its channel would be lost, and a
// first sync sends thousands a second: the outbox keeps the first and
// gathers the others.
void KMain::routeScriptsThroughOutbox()
{
    outbox = new KPageOutbox(this);
    disconnect(this, &KMain::SigSendMessageToJS, mainObj, &MainObj::SigSendMessageToJS);
    connect(this, &KMain::SigSendMessageToJS, outbox, &KPageOutbox::post);
    connect(outbox, &KPageOutbox::deliver, mainObj, &MainObj::SigSendMessageToJS);
    connect(mainObj, &MainObj::SigReceivedMessFromJS, outbox, &KPageOutbox::pageReady);
    connect(webView, &QWebEngineView::loadStarted, outbox, &KPageOutbox::pageGone);
}

// What the page cannot know by itself; it waits in the outbox until the
// page has connected.
void KMain::introducePage()
{
    emit SigSendMessageToJS(KMainCommands::productTitleScript(KLoginControl::WexoraTitle));
    emit SigSendMessageToJS(KMainCommands::spacesScript(KMainCommands::spacesJson()));
}

// Pair states change on the sync and transfer threads, often many times a
// second during a first sync: the page hears of them at most four times a second.
void KMain::followPairStates()
{
    pairStateTimer.setSingleShot(true);
    pairStateTimer.setInterval(PairStateIntervalMs);
    connect(&pairStateTimer, &QTimer::timeout, this, &KMain::sendPairStates);
    connect(&KPairStates::instance(), &KPairStates::pairChanged, this, [this](const QString& id) {
        changedPairs.insert(id);
        if (!pairStateTimer.isActive())
            pairStateTimer.start();
    }, Qt::QueuedConnection);
}

void KMain::sendPairStates()
{
    const QStringList ids(changedPairs.begin(), changedPairs.end());
    changedPairs.clear();
    if (!commands || ids.isEmpty())
        return;
    emit SigSendMessageToJS(KMainCommands::pairStatesScript(commands->pairStatesJson(ids)));
    notePairStates(ids);
}

// What the tray makes of the pairs: comparing ones keep it busy, failing
// ones mark it, and a rise in a pair's conflicts is told to the user.
void KMain::notePairStates(const QStringList& ids)
{
    int busy = 0;
    int failing = 0;
    QString firstError;
    for (const KPairState& state : KPairStates::instance().all()) {
        busy += state.comparing ? 1 : 0;
        if (state.state() == QLatin1String("failing") && failing++ == 0)
            firstError = state.lastError;
    }
    trayStatus.setPairs(busy, failing, firstError);
    for (const QString& id : ids) {
        if (!trayStatus.conflictsRose(id, KPairStates::instance().state(id).conflicts))
            continue;
        const QString folder = syncDatabase->getSyncConfigById(id).value(1);
        emit trayMessage(trayTitle,
                         QStringLiteral("“%1”中有文件两边都改过：云端的版本已放在原处，本地的改动另存为冲突副本。").arg(folder));
    }
    if (!trayTimer.isActive())
        trayTimer.start();
}

void KMain::followTransfersOnTray()
{
    const QHash<QString, int> conflicts = commands->conflictCounts();
    for (auto it = conflicts.constBegin(); it != conflicts.constEnd(); ++it)
        trayStatus.conflictsRose(it.key(), it.value()); // the known ones are no news
    trayTimer.setSingleShot(true);
    trayTimer.setInterval(TrayIntervalMs);
    connect(&trayTimer, &QTimer::timeout, this, &KMain::showTrayStatus);
    connect(this, &KMain::trayMessage, this, &KMain::showTrayMessage);
    showTrayStatus();
}

void KMain::followFinishedTransfers()
{
    newLogsTimer.setSingleShot(true);
    newLogsTimer.setInterval(NewLogsIntervalMs);
    connect(&newLogsTimer, &QTimer::timeout, this, &KMain::sendNewLogs);
}

void KMain::showTrayStatus()
{
    const KTrayStatus::State state = trayStatus.state();
    if (int(state) != trayShown) {
        trayShown = int(state);
        trayIcon->setIcon(trayIconFor(productIcon, state));
    }
    trayIcon->setToolTip(trayStatus.toolTip(trayTitle));
}

void KMain::showTrayMessage(const QString& title, const QString& text)
{
    KLog::info(QStringLiteral("KMain::trayMessage"), text);
    if (QSystemTrayIcon::supportsMessages())
        trayIcon->showMessage(title, text, QSystemTrayIcon::Warning);
}

QIcon KMain::trayIconFor(const QIcon& product, KTrayStatus::State state)
{
    if (state == KTrayStatus::State::Idle)
        return product;
    const int size = 64;
    QPixmap picture = product.pixmap(size, size);
    if (picture.isNull()) {
        picture = QPixmap(size, size);
        picture.fill(Qt::transparent);
    }
    const bool error = state == KTrayStatus::State::Error;
    QPainter painter(&picture);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF badge(size * 0.5, size * 0.5, size * 0.48, size * 0.48);
    painter.setPen(QPen(Qt::white, 3));
    painter.setBrush(error ? QColor(0xe5, 0x48, 0x4d) : QColor(0x25, 0x63, 0xeb));
    painter.drawEllipse(badge);
    drawBadgeGlyph(painter, badge, error);
    return QIcon(picture);
}

void KMain::noticeFailure(const QString& localPath, const QString& reason)
{
    const KFailureKind kind = KTransferFailure::kind(reason, certificateRefused());
    if (!trayStatus.shouldNotify(kind, QDateTime::currentMSecsSinceEpoch()))
        return;
    emit trayMessage(trayTitle,
                     KTransferFailure::notice(kind) + QLatin1Char('\n') + KFileTools::fileName(localPath));
}

// A refused certificate leaves no trace in the failed request's reason; the
// TLS settings remember it per server.
bool KMain::certificateRefused() const
{
    const QUrl server(WexoraBase::baseServer);
    return !server.host().isEmpty() && !KTlsSettings::lastFailure(server.host(), KTlsSettings::portOf(server)).isNull();
}

void KMain::sendNewLogs()
{
    if (commands)
        emit SigSendMessageToJS(commands->latestLogsScript());
}

void KMain::setLocalDirPresenter(FolderPresenter presenter)
{
    localDirPresenter = std::move(presenter);
}

void KMain::answerLocalDir(QString* path)
{
    *path = localDirPresenter ? localDirPresenter() : showLocalDirDialog();
}

QString KMain::showLocalDirDialog()
{
    QFileDialog dialog(this, QString(), QString(), QString());
    dialog.setWindowTitle(QStringLiteral("选中文件夹"));
    dialog.setDirectory(QStringLiteral("."));
    dialog.setNameFilter(tr("File(*.*)"));
    dialog.setFileMode(QFileDialog::DirectoryOnly);
    dialog.setViewMode(QFileDialog::Detail);
    if (dialog.exec() != QDialog::Accepted)
        return QString();
    return dialog.selectedFiles().value(0);
}

void KMain::OnReceiveMessageFromJS(QString op, QString param)
{
    KLog::info(QStringLiteral("op=") + op, param);
    // The reply (and whatever the operation sends before it) reaches the
    // page before the page's call returns.
    std::optional<KPageOutbox::ReplyScope> replying;
    if (outbox)
        replying.emplace(*outbox);
    emit SigSendMessageToJS(commands ? commands->handle(op, param) : QString());
}

void KMain::setServerDir(QString dir)
{
    emit SigSendMessageToJS(KMainCommands::selectSpaceDirScript(dir));
}

void KMain::iconActivated(QSystemTrayIcon::ActivationReason reason)
{
    qInfo() << QStringLiteral("iconActivated");
    // The context menu is the tray's own business.
    if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick)
        bringToFront();
}

void KMain::bringToFront()
{
    setWindowState(windowState() & ~Qt::WindowMinimized);
    show();
    raise();
    activateWindow();
}

void KMain::openMain()
{
    bringToFront();
}

void KMain::loginOut()
{
    // Unlike the page's logout, the stored user stays for the next login.
    QCoreApplication::exit(KConstant::RestartCode);
}

void KMain::exitApp()
{
    QCoreApplication::quit();
}

void KMain::refreshProgress(int, QString localPath, int percent, QString speed, QString progress)
{
    KLog::info2(QStringLiteral("KMain::refreshProgress"), QString::number(percent), speed + progress);
    emit SigSendMessageToJS(KTransferList::refreshScript(localPath, percent, speed, progress));
}

void KMain::addFileItem(int type, QString localPath, QString serverPath, qint64 filesize)
{
    emit SigSendMessageToJS(KTransferList::addTransferScript(type, localPath, serverPath, filesize));
    emit SigSendMessageToJS(KMainCommands::counterScript());
    trayStatus.queued(localPath, filesize);
    if (!trayTimer.isActive())
        trayTimer.start();
}

void KMain::deleteFileItem(int, QString localPath)
{
    KLog::info(QStringLiteral("KMain::deleteFileItem"), localPath);
    emit SigSendMessageToJS(KMainCommands::counterScript());
    emit SigSendMessageToJS(KTransferList::finishScript(localPath));
    trayStatus.finished(localPath);
    if (!trayTimer.isActive())
        trayTimer.start();
    if (!newLogsTimer.isActive())
        newLogsTimer.start();
}

void KMain::failFileItem(int, QString localPath, QString reason)
{
    emit SigSendMessageToJS(KTransferList::failScript(localPath, reason));
    trayStatus.failed(localPath);
    noticeFailure(localPath, reason);
    if (!trayTimer.isActive())
        trayTimer.start();
}

QString KMain::logId(const QString& localPath)
{
    return KTransferList::logId(localPath);
}

QString KMain::sizeText(qint64 bytes)
{
    return KTransferList::sizeText(bytes);
}

QString KMain::rowsToText(const QList<QStringList>& rows)
{
    return KMainCommands::rowsToText(rows);
}

QList<QStringList> KMain::errorLogRows()
{
    return KMainCommands::errorLogRows();
}

void KMain::clearLoginUser()
{
    KMainCommands::clearLoginUser();
}
