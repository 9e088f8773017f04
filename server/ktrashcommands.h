#pragma once

#include <QString>

struct KCommandLine;

// The trash commands of the command line; they work beside a running server
// on the same root, as add-user does.
namespace KTrashCommands
{
struct Result
{
    int exitCode = 0;
    QString output; // for stdout
    QString error;  // for stderr
};

// trash-list SPACEID: one line per entry, oldest first, fields separated by
// tabs: entry id, removal time (UTC, ISO 8601), who removed it, "file" or
// "folder", number of files, the path it had.
Result list(const KCommandLine& line);
// restore SPACEID ENTRYID [--to PATH]: prints where the entry went.
Result restore(const KCommandLine& line);
}
