#include "app/kfiletools.h"

#include "app/kinstalllayout.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QMutex>
#include <QMutexLocker>

namespace {

QMutex baseDirMutex;
QString baseDirOverride;
// Decided once the application object exists; the log sink asks for every line.
bool layoutKnown = false;
KInstallLayout layout;

QString replaceAllRepeatedly(QString text, const QString& pattern, const QString& with)
{
    while (text.contains(pattern))
        text.replace(pattern, with);
    return text;
}

} // namespace

// The executable's layout, or the override in both fields.
static KInstallLayout currentLayout()
{
    QMutexLocker lock(&baseDirMutex);
    if (!baseDirOverride.isEmpty())
        return {baseDirOverride, baseDirOverride};
    if (layoutKnown)
        return layout;
    const KInstallLayout decided =
        KInstallLayout::decide(KInstallLayout::gather(QCoreApplication::applicationDirPath()));
    if (QCoreApplication::instance()) {
        layout = decided;
        layoutKnown = true;
    }
    return decided;
}

QString KFileTools::appBaseDir()
{
    return currentLayout().dataDir;
}

QString KFileTools::installDir()
{
    return currentLayout().installDir;
}

void KFileTools::setAppBaseDir(const QString& dir)
{
    QMutexLocker lock(&baseDirMutex);
    baseDirOverride = dir;
}

QString KFileTools::formatPath(const QString& path)
{
    if (path.isEmpty())
        return QString();
    QString text = replaceAllRepeatedly(path, QStringLiteral("\\\\"), QStringLiteral("/"));
    text = replaceAllRepeatedly(text, QStringLiteral("\\"), QStringLiteral("/"));
    return replaceAllRepeatedly(text, QStringLiteral("//"), QStringLiteral("/"));
}

QString KFileTools::parentPath(const QString& path)
{
    const QString formatted = formatPath(path);
    const int slash = formatted.lastIndexOf(QLatin1Char('/'));
    return slash < 0 ? formatted : formatted.left(slash);
}

QString KFileTools::fileName(const QString& path)
{
    const QString formatted = formatPath(path);
    const int slash = formatted.lastIndexOf(QLatin1Char('/'));
    return slash < 0 ? formatted : formatted.mid(slash + 1);
}

void KFileTools::makePath(const QString& path)
{
    if (QDir(path).exists())
        return;
    const QString formatted = formatPath(path);
    QString parent = parentPath(formatted);
    // A single relative name is its own "parent": it goes into the current directory.
    if (parent == formatted) {
        QDir().mkdir(formatted);
        return;
    }
    // The parent of "/name" is the root folder, not the current directory.
    if (parent.isEmpty() && formatted.startsWith(QLatin1Char('/')))
        parent = QStringLiteral("/");
    makePath(parent);
    QDir(parent).mkdir(fileName(formatted));
}

QString KFileTools::readTextFile(const QString& path)
{
    QFile file(path);
    if (!file.exists() || !file.open(QIODevice::ReadOnly | QIODevice::Text))
        return QString();
    const QByteArray bytes = file.readAll();
    file.close();
    return utf8UpToZero(bytes);
}

void KFileTools::createFile(const QString& path)
{
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.close();
}

void KFileTools::writeTextFile(const QString& path, const QString& text)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text | QIODevice::Truncate))
        return;
    file.write(text.toUtf8());
    file.close();
}

QString KFileTools::toBase64(const QString& text)
{
    if (text.isEmpty())
        return QString();
    return QString::fromLatin1(text.toUtf8().toBase64());
}

QString KFileTools::fromBase64(const QString& text)
{
    if (text.isEmpty())
        return QString();
    return utf8UpToZero(QByteArray::fromBase64(text.toUtf8()));
}

QString KFileTools::utf8UpToZero(const QByteArray& bytes)
{
    const int zero = bytes.indexOf('\0');
    return QString::fromUtf8(zero < 0 ? bytes : bytes.left(zero));
}
