#pragma once

#include <QString>
#include <QStringList>

#include <optional>

// The fields of a removal: "paths", a JSON array text of server paths, and
// optionally "datahashes", a parallel array of what each path must still be
// for the removal to go ahead: "" (anything), a file's current datahash, or
// "tree:" + the digest of a folder's files (KNodeState).
struct KRemovalRequest
{
    static constexpr int MaxPaths = 1000;

    QStringList paths;
    QStringList expected; // one per path, lower case

    // nullopt with `error` set when a field is malformed.
    static std::optional<KRemovalRequest> parse(const QString& paths, const QString& datahashes, QString* error);
    static bool isExpectation(const QString& text);
};
