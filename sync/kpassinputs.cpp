#include "sync/kpassinputs.h"

#include "app/kinterruption.h"
#include "app/kjsontools.h"
#include "app/klog.h"
#include "store/kpartialdownloads.h"
#include "sync/knodetools.h"

#include <QFile>

#include <algorithm>

#include <sys/stat.h>

namespace {

const int NodesPerRequest = 1000;

QString joined(const QString& root, const QString& rel)
{
    return root + QLatin1Char('/') + rel;
}

bool answeredWell(const QString& answer)
{
    const QJsonValue code = KJsonTools::parseObject(answer).value(QStringLiteral("code"));
    return code.isDouble() && KJsonTools::toInt64(code.toDouble()) == 0;
}

} // namespace

QStringList KPassInputs::ancestors(const QString& rel)
{
    QStringList above;
    for (int slash = rel.indexOf(QLatin1Char('/')); slash > 0; slash = rel.indexOf(QLatin1Char('/'), slash + 1))
        above << rel.left(slash);
    return above;
}

bool KPassInputs::knowsAllBelow(const QString& folder) const
{
    if (whole || readBelow.contains(folder))
        return true;
    const QStringList above = ancestors(folder);
    return std::any_of(above.begin(), above.end(), [this](const QString& a) { return readBelow.contains(a); });
}

KPassInputs KPassInputs::readAll(const KPairRoots& pair)
{
    KPassInputs inputs;
    inputs.entries = KSyncJournal(pair.id).load();
    inputs.local = KLocalTree::scan(pair.localRoot, KPartialDownloads::below(pair.localRoot));
    inputs.server = KServerTree::scan(pair.spaceRoot);
    inputs.complete = inputs.local.complete && inputs.server.complete;
    inputs.whole = true;
    inputs.pairFiles = qMax(inputs.entries.size(), qMax(inputs.local.files.size(), inputs.server.files.size()));
    return inputs;
}

KPassInputs KPassInputs::readChanged(const KPairRoots& pair, const QSet<QString>& paths)
{
    QSet<QString> above;
    for (const QString& rel : paths) {
        for (const QString& folder : ancestors(rel))
            above.insert(folder);
    }
    KPassInputs inputs;
    const KSyncJournal journal(pair.id);
    inputs.readJournalAt(journal, paths, above);
    const bool local = inputs.readLocalAt(pair.localRoot, paths, above);
    const bool server = inputs.readServerAt(pair.spaceRoot, paths, above);
    inputs.complete = local && server;
    inputs.pairFiles = journal.count();
    return inputs;
}

void KPassInputs::readJournalAt(const KSyncJournal& journal, const QSet<QString>& paths, const QSet<QString>& above)
{
    for (const QString& rel : paths + above) {
        const KJournalEntry entry = journal.entry(rel);
        if (entry.isValid())
            entries.insert(entry);
    }
    for (const QString& rel : paths) {
        for (const KJournalEntry& entry : journal.below(rel))
            entries.insert(entry);
    }
}

bool KPassInputs::readLocalAt(const QString& root, const QSet<QString>& paths, const QSet<QString>& above)
{
    struct stat info;
    if (::stat(QFile::encodeName(root).constData(), &info) != 0 || !S_ISDIR(info.st_mode))
        return false;
    const QSet<QString> partials = KPartialDownloads::below(root);
    for (const QString& rel : paths + above) {
        KInterruption::check();
        if (partials.contains(rel) || ::stat(QFile::encodeName(joined(root, rel)).constData(), &info) != 0)
            continue;
        if (S_ISREG(info.st_mode))
            local.files.insert(rel, KFileStamp::of(joined(root, rel)));
        else if (S_ISDIR(info.st_mode) && !paths.contains(rel))
            local.folders.insert(rel);
        else if (S_ISDIR(info.st_mode))
            local.adopt(KLocalTree::scan(joined(root, rel), KPartialDownloads::below(joined(root, rel))), rel);
    }
    local.complete = true;
    return true;
}

bool KPassInputs::readServerAt(const QString& root, const QSet<QString>& paths, const QSet<QString>& above)
{
    server.complete = true;
    QStringList asked;
    for (const QString& rel : paths + above)
        asked << joined(root, rel);
    for (int first = 0; first < asked.size(); first += NodesPerRequest) {
        KInterruption::check();
        if (!takeNodes(root, asked.mid(first, NodesPerRequest), paths))
            server.complete = false;
    }
    return server.complete;
}

// A changed path that is a folder on the server is read whole below it.
bool KPassInputs::takeNodes(const QString& root, const QStringList& asked, const QSet<QString>& paths)
{
    const QString answer = KNodeTools::getNodes(asked);
    if (!answeredWell(answer))
        return false;
    for (const KNodeInfo& node : KNodeTools::parseNodeList(answer)) {
        const QString rel = node.path.mid(root.size() + 1);
        if (node.isfile) {
            const KVersionInfo current = node.versions.value(0);
            server.files.insert(rel, {current.datahash, node.versions.isEmpty() ? -1 : current.datasize,
                                      current.version, current.vtime});
        } else if (paths.contains(rel)) {
            server.adopt(KServerTree::scan(joined(root, rel)), rel);
            readBelow.insert(rel);
        } else {
            server.folders.insert(rel);
        }
    }
    return true;
}
