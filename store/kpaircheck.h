#pragma once

#include <QString>

// Why a folder pair cannot be saved, or None when it can.
enum class KPairRefusal
{
    None,
    LocalMissing,
    ServerMissing,
    ServerFile,
    ServerUnreachable,
    ServerRefused,
    StoreFailed,
};

// The checks a folder pair passes before it is saved, told apart so that the
// user learns which side is wrong. Pure functions.
class KPairCheck
{
public:
    // What a "kgetnodes" answer for the server folder says: no answer at
    // all, an answer that is no envelope or a refusal (non-zero code), no
    // node, a file, or a folder (None).
    static KPairRefusal serverFolderVerdict(const QString& answer);

    // "local-missing", "server-missing", ... as the page knows them; "" for None.
    static QString code(KPairRefusal refusal);
    // A sentence for the user.
    static QString text(KPairRefusal refusal);
};
