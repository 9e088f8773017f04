#include "kcliprocess.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QProcess>

QList<QJsonObject> KCliResult::events(bool* ok) const
{
    QList<QJsonObject> objects;
    *ok = true;
    for (const QString& line : out.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        const QJsonDocument document = QJsonDocument::fromJson(line.toUtf8());
        if (!document.isObject()) {
            *ok = false;
            return {};
        }
        objects << document.object();
    }
    return objects;
}

int KCliResult::count(const QString& event) const
{
    bool ok = false;
    int n = 0;
    for (const QJsonObject& object : events(&ok))
        n += object.value("event").toString() == event ? 1 : 0;
    return n;
}

KCliProcess::KCliProcess(const QString& program, const QStringList& leading, const QProcessEnvironment& environment)
    : program(program)
    , leading(leading)
    , environment(environment)
{
}

KCliResult KCliProcess::run(const QStringList& args, int timeoutMs) const
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(program, leading + args);
    KCliResult result;
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished();
        result.err = QStringLiteral("timed out");
        return result;
    }
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.out = QString::fromUtf8(process.readAllStandardOutput());
    result.err = QString::fromUtf8(process.readAllStandardError());
    return result;
}

QMap<QString, QByteArray> kLocalTree(const QString& root)
{
    QMap<QString, QByteArray> files;
    QDirIterator it(root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        QFile file(it.next());
        if (file.open(QIODevice::ReadOnly))
            files.insert(QDir(root).relativeFilePath(file.fileName()), file.readAll());
    }
    return files;
}

bool kWriteTree(const QString& root, const QMap<QString, QByteArray>& files)
{
    for (auto it = files.begin(); it != files.end(); ++it) {
        const QString path = root + QLatin1Char('/') + it.key();
        QFile file(path);
        if (!QDir().mkpath(QFileInfo(path).path()) || !file.open(QIODevice::WriteOnly)
            || file.write(it.value()) != it.value().size())
            return false;
    }
    return true;
}

QMap<QString, QByteArray> kSubtree(const QMap<QString, QByteArray>& tree, const QString& folder)
{
    QMap<QString, QByteArray> below;
    const QString prefix = folder + QLatin1Char('/');
    for (auto it = tree.begin(); it != tree.end(); ++it) {
        if (it.key().startsWith(prefix))
            below.insert(it.key().mid(prefix.size()), it.value());
    }
    return below;
}
