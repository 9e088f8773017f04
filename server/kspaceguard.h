#pragma once

#include "server/kenvelope.h"
#include "server/kserverpath.h"

#include <optional>

class KUserStore;

// Turns a path field into a server path the caller may use: well formed and
// inside one of the caller's own spaces.
class KSpaceGuard
{
public:
    explicit KSpaceGuard(KUserStore& users);

    // The parsed path, or nullopt with `refusal` set to the answer to give.
    std::optional<KServerPath> resolve(const QString& userId, const QString& text, KReply* refusal);

private:
    KUserStore& users;
};
