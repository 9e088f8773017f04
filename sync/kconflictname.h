#pragma once

#include <QDateTime>
#include <QString>

// The name of a conflict copy: beside the original, with its extension, a
// name that sorts next to it and says what it is and when it was made:
// "dir/report.pdf" -> "dir/report (冲突副本 2026-12-08 134500).pdf".
class KConflictName
{
public:
    static QString make(const QString& relPath, const QDateTime& when, int attempt = 0);
};
