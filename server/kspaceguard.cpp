#include "server/kspaceguard.h"

#include "server/kuserstore.h"

KSpaceGuard::KSpaceGuard(KUserStore& users)
    : users(users)
{
}

std::optional<KServerPath> KSpaceGuard::resolve(const QString& userId, const QString& text, KReply* refusal)
{
    const KServerPath path = KServerPath::parse(text);
    if (!path.valid) {
        *refusal = KReply::fail(KCode::BadPath, path.error);
        return std::nullopt;
    }
    if (!users.isMember(userId, path.spaceId)) {
        *refusal = KReply::fail(KCode::Forbidden, QStringLiteral("the space is not yours: @") + path.spaceId);
        return std::nullopt;
    }
    return path;
}
