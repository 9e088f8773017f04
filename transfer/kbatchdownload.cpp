#include "transfer/kbatchdownload.h"

#include "api/khttptools.h"
#include "app/kjsontools.h"
#include "app/klog.h"
#include "store/kpartialdownloads.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <openssl/evp.h>

namespace {

// OpenSSL's decoder is several times faster than QByteArray::fromBase64,
// and every byte of a batch goes through it. Broken text gives no bytes.
QByteArray fromBase64(const QByteArray& text)
{
    if (text.size() % 4 != 0)
        return QByteArray();
    QByteArray bytes(text.size() / 4 * 3, Qt::Uninitialized);
    const int decoded = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bytes.data()),
                                        reinterpret_cast<const unsigned char*>(text.constData()), text.size());
    if (decoded < 0)
        return QByteArray();
    const int padding = text.endsWith("==") ? 2 : text.endsWith('=') ? 1 : 0;
    bytes.truncate(decoded - padding);
    return bytes;
}

} // namespace

QMutex KBatchDownload::mutex;
QSet<QString> KBatchDownload::withoutOperation;

bool KBatchDownload::fits(const KDownloadInfo& job)
{
    return !job.contentKnown && job.version > 0 && !job.dataHash.isEmpty() && job.fileSize >= 0
           && job.fileSize <= MaxFileBytes && !job.replaces.isValid();
}

bool KBatchDownload::serverKnowsOperation(const QString& apiUrl)
{
    const QMutexLocker lock(&mutex);
    return !withoutOperation.contains(apiUrl);
}

QMap<QString, QString> KBatchDownload::params(const QList<KDownloadInfo*>& jobs)
{
    QJsonArray files;
    for (const KDownloadInfo* job : jobs)
        files.append(QJsonObject{{QStringLiteral("filepath"), job->serverPath}, {QStringLiteral("datahash"), job->dataHash}});
    return {{QStringLiteral("op"), QStringLiteral("kbatchdownload")},
            {QStringLiteral("files"), QString::fromUtf8(QJsonDocument(files).toJson(QJsonDocument::Compact))}};
}

QHash<QString, KBatchDownload::Entry> KBatchDownload::parse(const QString& answer, const QString& apiUrl)
{
    const QJsonObject envelope = QJsonDocument::fromJson(answer.toUtf8()).object();
    const int code = envelope.value(QStringLiteral("code")).toInt(-1);
    if (code == UnknownOperationCode) {
        const QMutexLocker lock(&mutex);
        withoutOperation.insert(apiUrl);
    }
    QHash<QString, Entry> entries;
    if (code != 0)
        return entries;
    const QJsonArray files = envelope.value(QStringLiteral("data")).toObject().value(QStringLiteral("files")).toArray();
    for (const QJsonValue& value : files) {
        const QJsonObject file = value.toObject();
        Entry entry;
        entry.code = file.value(QStringLiteral("code")).toInt(-1);
        entry.dataHash = KJsonTools::textMember(file, QStringLiteral("datahash"));
        entry.content = fromBase64(KJsonTools::textMember(file, QStringLiteral("content")).toLatin1());
        entries.insert(KJsonTools::textMember(file, QStringLiteral("filepath")), entry);
    }
    return entries;
}

// A job with a partial download of its own is not asked for: it resumes.
void KBatchDownload::fetch(QList<KDownloadInfo>& jobs, const QString& apiUrl)
{
    QList<KDownloadInfo*> asked;
    for (KDownloadInfo& job : jobs)
        if (!QFileInfo::exists(KPartialDownloads::preferredName(job.localPath)))
            asked.append(&job);
    if (asked.isEmpty())
        return;
    const QHash<QString, Entry> entries = ask(asked, apiUrl);
    for (KDownloadInfo* job : asked)
        carryContent(*job, entries.value(job->serverPath));
}

QHash<QString, KBatchDownload::Entry> KBatchDownload::ask(const QList<KDownloadInfo*>& jobs, const QString& apiUrl)
{
    try {
        return parse(KHttpTools::callApi(apiUrl, params(jobs), true), apiUrl);
    } catch (...) {
        KLog::info(QStringLiteral("kbatchdownload failed"), QString::number(jobs.size()));
    }
    return {};
}

// Only bytes of the asked version and size come along; anything else is
// fetched on its own, which also reports it as that path's failure.
void KBatchDownload::carryContent(KDownloadInfo& job, const Entry& entry)
{
    if (entry.code != 0 || entry.content.size() != job.fileSize
        || entry.dataHash.compare(job.dataHash, Qt::CaseInsensitive) != 0)
        return;
    job.content = entry.content;
    job.contentKnown = true;
}

void KBatchDownload::forgetServersForTesting()
{
    const QMutexLocker lock(&mutex);
    withoutOperation.clear();
}
