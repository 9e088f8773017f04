#include "main/kmaincommands.h"

#include "app/kconstant.h"
#include "app/kjsontools.h"
#include "app/klog.h"
#include "bridge/kjsstring.h"
#include "login/kloginsettings.h"
#include "login/ksession.h"
#include "main/ktransferlist.h"
#include "app/kfiletools.h"
#include "store/kfilesyncdatabase.h"
#include "store/ksyncconflicts.h"
#include "sync/kfilesynconcemanager.h"
#include "sync/kpairstates.h"
#include "transfer/kdownloadmanager.h"
#include "transfer/kuploadmanager.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

// function('a','b',...) with every argument escaped for its single quotes.
QString call(const QString& function, const QStringList& arguments)
{
    QStringList quoted;
    for (const QString& argument : arguments)
        quoted.append(KJsString::quoted(argument));
    return function + QLatin1Char('(') + quoted.join(QLatin1Char(',')) + QLatin1Char(')');
}

QString statement(const QString& function, const QStringList& arguments)
{
    return call(function, arguments) + QLatin1Char(';');
}

} // namespace

const KMainCommands::Operation KMainCommands::operations[] = {
    {"doClose", &KMainCommands::doClose},
    {"openlocaldir", &KMainCommands::openLocalDir},
    {"selectspacedir", &KMainCommands::selectSpaceDir},
    {"addSync", &KMainCommands::addSync},
    {"deleteSync", &KMainCommands::deleteSync},
    {"getConfig", &KMainCommands::getConfig},
    {"queryErrorLog", &KMainCommands::queryErrorLog},
    {"queryLog", &KMainCommands::queryLog},
    {"addQueryLog", &KMainCommands::addQueryLog},
    {"doHide", &KMainCommands::doHide},
    {"doLoginOut", &KMainCommands::doLoginOut},
    {"queryPairStates", &KMainCommands::queryPairStates},
    {"queryConflicts", &KMainCommands::queryConflicts},
    {"syncNow", &KMainCommands::syncNow},
    {"pausePair", &KMainCommands::pausePair},
    {"resumePair", &KMainCommands::resumePair},
    {"retryTransfer", &KMainCommands::retryTransfer},
    {"openFolder", &KMainCommands::openFolder},
    {"confirmDeletions", &KMainCommands::confirmDeletions},
    {"rejectDeletions", &KMainCommands::rejectDeletions},
};

KMainCommands::KMainCommands(KFileSyncDatabase* store, QObject* parent)
    : QObject(parent)
    , store(store)
{
}

QString KMainCommands::handle(const QString& op, const QString& param)
{
    static const QStringList changingPairs{"addSync", "deleteSync", "pausePair", "resumePair"};
    for (const Operation& operation : operations) {
        if (op != QLatin1String(operation.name))
            continue;
        const QString reply = (this->*operation.handler)(KJsonTools::parseStringMap(param));
        if (changingPairs.contains(op))
            emit pairsChanged();
        return reply;
    }
    return QString();
}

QString KMainCommands::doClose(const QMap<QString, QString>&)
{
    emit quitRequested();
    return QString();
}

QString KMainCommands::openLocalDir(const QMap<QString, QString>&)
{
    QString path;
    emit askLocalDir(&path);
    return path.isEmpty() ? QString() : selectDirScript(path);
}

QString KMainCommands::selectSpaceDir(const QMap<QString, QString>&)
{
    // The choice arrives later, as its own script.
    emit showServerPicker();
    return QString();
}

QString KMainCommands::addSync(const QMap<QString, QString>& fields)
{
    const auto field = [&fields](const char* key) { return fields.value(QLatin1String(key)); };
    // The store takes status and ignore type before the sync type.
    KPairSave save;
    try {
        save = store->saveSyncConfig(field("id"), field("localPath"), field("spacePath"), field("status"),
                                     field("ignoreType"), field("syncType"));
    } catch (...) {
        save.refusal = KPairRefusal::StoreFailed;
    }
    if (save.refusal != KPairRefusal::None)
        emit script(saveSyncRefusedScript(KPairCheck::code(save.refusal), KPairCheck::text(save.refusal)));
    return saveSyncConfigScript(save.saved);
}

QString KMainCommands::deleteSync(const QMap<QString, QString>& fields)
{
    const QString id = fields.value(QStringLiteral("id"));
    store->deleteSyncConfig(id);
    KPairStates::instance().forget(id); // its last error must not keep the tray red
    return removeSyncScript(id);
}

QString KMainCommands::getConfig(const QMap<QString, QString>&)
{
    const QString rowText = rowsToText(store->getSyncConfigs());
    KLog::info(QStringLiteral("getConfig"), rowText);
    return reloadDataScript(rowText, WexoraBase::accessdata.userid, WexoraBase::accessdata.username);
}

QString KMainCommands::queryErrorLog(const QMap<QString, QString>&)
{
    return errorLogScript(rowsToText(errorLogRows()));
}

QString KMainCommands::queryLog(const QMap<QString, QString>& fields)
{
    return queryLogsScript(rowsToText(store->getSyncLogs(fields.value(QStringLiteral("time")))));
}

QString KMainCommands::addQueryLog(const QMap<QString, QString>& fields)
{
    return addQueryLogsScript(rowsToText(store->getSyncLogs(fields.value(QStringLiteral("time")))));
}

QString KMainCommands::doHide(const QMap<QString, QString>&)
{
    emit minimiseRequested();
    return QString();
}

QString KMainCommands::doLoginOut(const QMap<QString, QString>&)
{
    clearLoginUser();
    emit exitRequested(KConstant::RestartCode);
    return QString();
}

QString KMainCommands::queryPairStates(const QMap<QString, QString>&)
{
    return pairStatesScript(pairStatesJson());
}

QString KMainCommands::queryConflicts(const QMap<QString, QString>&)
{
    return conflictsScript(conflictsJson());
}

QString KMainCommands::syncNow(const QMap<QString, QString>& fields)
{
    queuePass(store->getSyncConfigById(fields.value(QStringLiteral("id"))));
    return QString();
}

QString KMainCommands::pausePair(const QMap<QString, QString>& fields)
{
    const QString id = fields.value(QStringLiteral("id"));
    if (store->setPairPaused(id, true))
        KPairStates::instance().setPaused(id, true);
    return QString();
}

QString KMainCommands::resumePair(const QMap<QString, QString>& fields)
{
    const QString id = fields.value(QStringLiteral("id"));
    if (store->setPairPaused(id, false)) {
        KPairStates::instance().setPaused(id, false);
        queuePass(store->getSyncConfigById(id));
    }
    return QString();
}

// A failed file is tried again by a pass of its pair: the pass decides
// afresh what the file needs, and nothing outside a pair is ever sent.
QString KMainCommands::retryTransfer(const QMap<QString, QString>& fields)
{
    queuePass(pairHolding(fields.value(QStringLiteral("local"))));
    return QString();
}

QString KMainCommands::openFolder(const QMap<QString, QString>& fields)
{
    const QString path = KFileTools::formatPath(fields.value(QStringLiteral("path")));
    if (pairHolding(path).isEmpty())
        return QString();
    emit openFolderRequested(QFileInfo(path).isDir() ? path : KFileTools::parentPath(path));
    return QString();
}

QString KMainCommands::confirmDeletions(const QMap<QString, QString>& fields)
{
    answerDeletions(fields.value(QStringLiteral("id")), true);
    return QString();
}

QString KMainCommands::rejectDeletions(const QMap<QString, QString>& fields)
{
    answerDeletions(fields.value(QStringLiteral("id")), false);
    return QString();
}

// Only a stored pair can have deletions waiting.
void KMainCommands::answerDeletions(const QString& id, bool confirmed)
{
    if (!id.isEmpty() && !store->getSyncConfigById(id).isEmpty())
        emit deletionsAnswered(id, confirmed);
}

QStringList KMainCommands::pairHolding(const QString& localPath) const
{
    const QString path = QDir::cleanPath(KFileTools::formatPath(localPath));
    for (const QStringList& row : store->getSyncConfigs()) {
        const QString root = QDir::cleanPath(KFileTools::formatPath(row.value(1)));
        if (!row.value(1).isEmpty() && (path == root || path.startsWith(root + QLatin1Char('/'))))
            return row;
    }
    return {};
}

bool KMainCommands::queuePass(const QStringList& row)
{
    if (row.size() < 6 || KFileSyncDatabase::isPaused(row))
        return false;
    KFileSyncOnceManager::configItemQueue.append({row[0], row[1], row[2], row[4], row[3], row[5]});
    return true;
}

QString KMainCommands::pairStatesJson(const QStringList& ids) const
{
    QJsonArray states;
    for (const QStringList& row : store->getSyncConfigs()) {
        if (!ids.isEmpty() && !ids.contains(row.value(0)))
            continue;
        KPairState state = KPairStates::instance().state(row.value(0));
        state.paused = KFileSyncDatabase::isPaused(row);
        states.append(state.toJson());
    }
    return QString::fromUtf8(QJsonDocument(states).toJson(QJsonDocument::Compact));
}

QString KMainCommands::conflictsJson() const
{
    QJsonArray list;
    for (const QStringList& row : store->getSyncConfigs()) {
        for (const KConflict& conflict : KSyncConflicts::current(row.value(0), row.value(1))) {
            list.append(QJsonObject{{"pairId", conflict.pairId},
                                    {"local", KFileTools::formatPath(row.value(1) + "/" + conflict.relPath)},
                                    {"copy", KFileTools::formatPath(row.value(1) + "/" + conflict.copyRelPath)},
                                    {"space", KFileTools::formatPath(row.value(2) + "/" + conflict.relPath)},
                                    {"time", double(conflict.timeMs)}});
        }
    }
    return QString::fromUtf8(QJsonDocument(list).toJson(QJsonDocument::Compact));
}

QHash<QString, int> KMainCommands::conflictCounts() const
{
    QHash<QString, int> counts;
    for (const QStringList& row : store->getSyncConfigs())
        counts.insert(row.value(0), KSyncConflicts::current(row.value(0), row.value(1)).size());
    return counts;
}

QString KMainCommands::spacesJson()
{
    QJsonArray spaces;
    for (const KSpaceInfo& space : WexoraBase::accessdata.spaces)
        spaces.append(QJsonObject{{"id", space.spaceid}, {"name", space.spacename}});
    return QString::fromUtf8(QJsonDocument(spaces).toJson(QJsonDocument::Compact));
}

QString KMainCommands::pairStatesScript(const QString& json)
{
    return statement(QStringLiteral("mainVue.updatePairStates"), {json});
}

QString KMainCommands::conflictsScript(const QString& json)
{
    return statement(QStringLiteral("mainVue.showConflicts"), {json});
}

QString KMainCommands::spacesScript(const QString& json)
{
    return statement(QStringLiteral("mainVue.setSpaces"), {json});
}

QString KMainCommands::productTitleScript(const QString& title)
{
    return statement(QStringLiteral("mainVue.setProductTitle"), {title});
}

QString KMainCommands::newLogsScript(const QString& rowText)
{
    return statement(QStringLiteral("mainVue.showNewLogs"), {rowText});
}

QString KMainCommands::latestLogsScript() const
{
    return newLogsScript(rowsToText(store->getSyncLogs(QString())));
}

QString KMainCommands::selectDirScript(const QString& path)
{
    return statement(QStringLiteral("CharpCallback_AfterSelectDir"), {path});
}

QString KMainCommands::selectSpaceDirScript(const QString& dir)
{
    return call(QStringLiteral("CharpCallback_AfterSelectSpaceDir"), {dir, dir});
}

QString KMainCommands::saveSyncConfigScript(const QString& saved)
{
    const QString code = saved.isEmpty() ? QStringLiteral("1") : QStringLiteral("0");
    return QStringLiteral("mainVue.CSharpCallback_saveSyncConfig(") + code + QLatin1Char(',')
           + KJsString::quoted(saved) + QStringLiteral(");");
}

QString KMainCommands::saveSyncRefusedScript(const QString& reason, const QString& text)
{
    return statement(QStringLiteral("mainVue.CSharpCallback_saveSyncRefused"), {reason, text});
}

QString KMainCommands::removeSyncScript(const QString& id)
{
    return statement(QStringLiteral("mainVue.CSharpCallback_doRemoveSync"), {id});
}

QString KMainCommands::reloadDataScript(const QString& rowText, const QString& userId, const QString& userName)
{
    return statement(QStringLiteral("mainVue.reloadData"), {rowText, userId, userName});
}

QString KMainCommands::errorLogScript(const QString& rowText)
{
    return statement(QStringLiteral("mainVue.CSharpCallback_ShowErrorLog"), {rowText});
}

QString KMainCommands::queryLogsScript(const QString& rowText)
{
    return statement(QStringLiteral("mainVue.CSharpCallback_QueryLogs"), {rowText});
}

QString KMainCommands::addQueryLogsScript(const QString& rowText)
{
    return statement(QStringLiteral("mainVue.CSharpCallback_AddQueryLogs"), {rowText});
}

QString KMainCommands::counterScript()
{
    return KTransferList::counterScript(KUploadManager::uploadQueue.size(), KDownloadManager::downloadQueue.size(),
                                        KConstant::ErrorMap.size());
}

QString KMainCommands::rowsToText(const QList<QStringList>& rows)
{
    return KTransferList::rowsToText(rows);
}

QList<QStringList> KMainCommands::errorLogRows()
{
    return KConstant::ErrorMap.rows();
}

void KMainCommands::clearLoginUser()
{
    KLoginSettings::clearLoginUser();
}
