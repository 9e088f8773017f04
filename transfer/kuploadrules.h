#pragma once

#include "sync/knodeinfo.h"
#include "transfer/kuploadticket.h"

#include <QList>
#include <QString>

// What the server's nodes at [file path, parent path] say about an upload.
enum class KServerVerdict
{
    Identical,     // the current version has the job's size and MD5: nothing to send
    NewVersion,    // the file exists with other content: "iscreatefile" false
    NewFile,       // the folder exists, the file does not (or is no file)
    MissingFolder, // neither is known: create the folder first
};

// The decisions of an upload job, as pure functions of what the server said.
class KUploadRules
{
public:
    // Size alone is not enough: an edit that keeps the size must still reach
    // the server, so a file counts as identical only when the MD5 matches too.
    static KServerVerdict serverVerdict(const QList<KNodeInfo>& nodes, qint64 fileSize, const QString& fileMd5);

    // How many parts need not be sent again: k when parts 1..k are all on the
    // server, each segmentSize long. A gap or a short part ends the run, so a
    // missing middle part is sent again instead of failing every commit.
    static int doneParts(const QList<KUploadedPart>& parts, qint64 segmentSize);

private:
    static KServerVerdict versionVerdict(const KNodeInfo& file, qint64 fileSize, const QString& fileMd5);
};
