#include "main/ktransferfailure.h"

#include <QStringList>

namespace {

bool mentions(const QString& reason, const QStringList& words)
{
    for (const QString& word : words) {
        if (reason.contains(word, Qt::CaseInsensitive))
            return true;
    }
    return false;
}

// Whole phrases: a reason may quote a local path, which may hold any word.
const QStringList certificateWords{QStringLiteral("certificate"), QStringLiteral("证书"),
                                   QStringLiteral("ssl handshake"), QStringLiteral("tls handshake"),
                                   QStringLiteral("handshake failed")};
const QStringList noSpaceWords{QStringLiteral("空间不足"), QStringLiteral("容量不足"), QStringLiteral("磁盘已满"),
                               QStringLiteral("quota"), QStringLiteral("no space"), QStringLiteral("disk full"),
                               QStringLiteral("not enough space"), QStringLiteral("insufficient storage")};
const QStringList refusedWords{QStringLiteral("没有权限"), QStringLiteral("无权"), QStringLiteral("权限不足"),
                               QStringLiteral("拒绝访问"), QStringLiteral("forbidden"),
                               QStringLiteral("permission denied"), QStringLiteral("access denied"),
                               QStringLiteral("not allowed"), QStringLiteral("not yours"),
                               QStringLiteral("read-only file system")};

} // namespace

KFailureKind KTransferFailure::kind(const QString& reason, bool certificateRefused)
{
    if (mentions(reason, certificateWords))
        return KFailureKind::Certificate;
    if (mentions(reason, noSpaceWords))
        return KFailureKind::NoSpace;
    if (mentions(reason, refusedWords))
        return KFailureKind::Refused;
    return certificateRefused ? KFailureKind::Certificate : KFailureKind::Passing;
}

QString KTransferFailure::notice(KFailureKind kind)
{
    switch (kind) {
    case KFailureKind::NoSpace:
        return QStringLiteral("空间不足，文件无法传输。请清理云端或本地的空间后重试。");
    case KFailureKind::Refused:
        return QStringLiteral("没有权限读写文件，传输被拒绝。请检查云端文件夹或本地文件的权限。");
    case KFailureKind::Certificate:
        return QStringLiteral("服务器的证书不受信任，传输已停止。请确认服务器地址和证书。");
    case KFailureKind::Passing:
        break;
    }
    return QString();
}
