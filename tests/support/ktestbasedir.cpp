#include "ktestbasedir.h"

#include "app/kfiletools.h"
#include "app/klog.h"

#include <QDate>
#include <QDir>
#include <QDirIterator>
#include <QFile>

KTestBaseDir::KTestBaseDir(bool withPages)
{
    if (!dir.isValid())
        return;
    KFileTools::setAppBaseDirForTesting(dir.path());
    if (withPages)
        kCopyTree(QStringLiteral(WEXORA_SOURCE_DIR "/resources/page"), dir.path() + QStringLiteral("/page"));
}

KTestBaseDir::~KTestBaseDir()
{
    if (sinkInstalled)
        qInstallMessageHandler(nullptr);
    KFileTools::setAppBaseDirForTesting(QString());
}

QString KTestBaseDir::todaysLog() const
{
    QFile file(KLog::logFilePath(QDate::currentDate().toString(QStringLiteral("yyyyMMdd"))));
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(file.readAll());
}

void KTestBaseDir::installLogSink()
{
    QDir().mkpath(logsDir());
    qInstallMessageHandler(KLog::outputMessage);
    sinkInstalled = true;
}

bool kCopyTree(const QString& from, const QString& to)
{
    bool ok = QDir().mkpath(to);
    QDirIterator it(from, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString source = it.next();
        const QString target = to + source.mid(from.size());
        if (it.fileInfo().isDir())
            ok = QDir().mkpath(target) && ok;
        else
            ok = QFile::copy(source, target) && ok;
    }
    return ok;
}
