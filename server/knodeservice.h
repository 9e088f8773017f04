#pragma once

#include "server/kcallcontext.h"
#include "server/kenvelope.h"

#include <QJsonObject>

class KClock;
class KNodeStore;
class KSpaceGuard;
class KStorage;
struct KNodeRecord;

// The tree operations: kgetnodes, klistdir and domkdirs.
class KNodeService
{
public:
    static constexpr int MaxPaths = 1000;
    static constexpr int MaxDepth = 64;

    KNodeService(KStorage& storage, KNodeStore& nodes, KSpaceGuard& guard, const KClock& clock);

    KReply getNodes(const KCallContext& call);
    KReply listDir(const KCallContext& call);
    KReply makeDirs(const KCallContext& call);

    static QJsonObject nodeJson(const KNodeRecord& node);

private:
    KStorage& storage;
    KNodeStore& nodes;
    KSpaceGuard& guard;
    const KClock& clock;
};
