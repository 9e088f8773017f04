#pragma once

#include "sync/kpassrequest.h"

#include <QString>

// The user's answer to deletions a pass held back. Confirmed, they go ahead
// in the pass this returns; refused, the pair forgets that those files were
// ever synced, so the next pass brings each of them back from the side that
// still has it.
class KDeletionAnswer
{
public:
    // The pass to run; empty pairId when nothing was waiting.
    static KPassRequest confirm(const QString& pairId);
    static KPassRequest refuse(const QString& pairId);
};
