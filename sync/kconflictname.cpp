#include "sync/kconflictname.h"

QString KConflictName::make(const QString& relPath, const QDateTime& when, int attempt)
{
    const int slash = relPath.lastIndexOf(QLatin1Char('/'));
    const QString folder = relPath.left(slash + 1);
    const QString name = relPath.mid(slash + 1);
    const int dot = name.lastIndexOf(QLatin1Char('.'));
    const bool hasExtension = dot > 0;
    const QString stem = hasExtension ? name.left(dot) : name;
    const QString extension = hasExtension ? name.mid(dot) : QString();
    QString mark = QStringLiteral(" (冲突副本 ") + when.toString(QStringLiteral("yyyy-MM-dd HHmmss"));
    if (attempt > 0)
        mark += QStringLiteral(" %1").arg(attempt + 1);
    return folder + stem + mark + QLatin1Char(')') + extension;
}
