#include "store/kpaircheck.h"

#include "app/kjsontools.h"
#include "sync/knodetools.h"

#include <QJsonArray>

namespace {

bool refused(const QMap<QString, QJsonValue>& envelope)
{
    const QJsonValue code = envelope.value(QStringLiteral("code"));
    return code.isDouble() && KJsonTools::toInt64(code.toDouble()) != 0;
}

} // namespace

KPairRefusal KPairCheck::serverFolderVerdict(const QString& answer)
{
    if (answer.trimmed().isEmpty())
        return KPairRefusal::ServerUnreachable;
    const QMap<QString, QJsonValue> envelope = KJsonTools::parseObject(answer);
    if (!envelope.contains(QStringLiteral("code")) || refused(envelope))
        return KPairRefusal::ServerRefused;
    const KNodeInfo node = KNodeTools::parseNode(answer);
    if (!node.found)
        return KPairRefusal::ServerMissing;
    return node.isfile ? KPairRefusal::ServerFile : KPairRefusal::None;
}

QString KPairCheck::code(KPairRefusal refusal)
{
    switch (refusal) {
    case KPairRefusal::None:
        return QString();
    case KPairRefusal::LocalMissing:
        return QStringLiteral("local-missing");
    case KPairRefusal::ServerMissing:
        return QStringLiteral("server-missing");
    case KPairRefusal::ServerFile:
        return QStringLiteral("server-file");
    case KPairRefusal::ServerUnreachable:
        return QStringLiteral("server-unreachable");
    case KPairRefusal::ServerRefused:
        return QStringLiteral("server-refused");
    case KPairRefusal::StoreFailed:
        return QStringLiteral("store-failed");
    }
    return QString();
}

QString KPairCheck::text(KPairRefusal refusal)
{
    switch (refusal) {
    case KPairRefusal::None:
        return QString();
    case KPairRefusal::LocalMissing:
        return QStringLiteral("保存失败：本地文件夹不存在。");
    case KPairRefusal::ServerMissing:
        return QStringLiteral("保存失败：云端文件夹不存在。");
    case KPairRefusal::ServerFile:
        return QStringLiteral("保存失败：云端路径是一个文件，不是文件夹。");
    case KPairRefusal::ServerUnreachable:
        return QStringLiteral("保存失败：无法连接服务器，请检查网络后重试。");
    case KPairRefusal::ServerRefused:
        return QStringLiteral("保存失败：服务器拒绝了请求，请稍后重试或重新登录。");
    case KPairRefusal::StoreFailed:
        return QStringLiteral("保存失败：无法写入本地数据库。");
    }
    return QString();
}
