#include "sync/klocaltree.h"

#include "app/kinterruption.h"

#include <QFile>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>
#include <vector>

struct KLocalTree::Walk
{
    KLocalTree& tree;
    const QString& root;
    const QSet<QString>& leaveOut;
    std::vector<std::pair<dev_t, ino_t>> branch;

    bool onBranch(const struct stat& info) const
    {
        for (const auto& folder : branch) {
            if (folder.first == info.st_dev && folder.second == info.st_ino)
                return true;
        }
        return false;
    }

    bool folder(const QString& rel)
    {
        KInterruption::check();
        const QString path = rel.isEmpty() ? root : root + QLatin1Char('/') + rel;
        const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0)
            return false;
        DIR* dir = ::fdopendir(fd);
        if (!dir) {
            ::close(fd);
            return false;
        }
        while (const dirent* entry = ::readdir(dir))
            child(::dirfd(dir), entry->d_name, rel);
        ::closedir(dir);
        return true;
    }

    void child(int dirFd, const char* name, const QString& parent)
    {
        if (name[0] == '.')
            return;
        struct stat info;
        if (::fstatat(dirFd, name, &info, 0) != 0)
            return;
        const QString rel = parent.isEmpty() ? QFile::decodeName(name)
                                             : parent + QLatin1Char('/') + QFile::decodeName(name);
        if (S_ISREG(info.st_mode))
            addFile(rel, info);
        else if (S_ISDIR(info.st_mode) && !onBranch(info))
            descend(rel, info);
    }

    void addFile(const QString& rel, const struct stat& info)
    {
        if (leaveOut.contains(rel))
            return;
        const qint64 mtime = qint64(info.st_mtim.tv_sec) * 1000 + info.st_mtim.tv_nsec / 1000000;
        tree.files.insert(rel, {qint64(info.st_size), mtime, qint64(info.st_ino)});
    }

    void descend(const QString& rel, const struct stat& info)
    {
        tree.folders.insert(rel);
        branch.emplace_back(info.st_dev, info.st_ino);
        if (!folder(rel))
            tree.unreadable.insert(rel);
        branch.pop_back();
    }
};

KLocalTree KLocalTree::scan(const QString& rootPath, const QSet<QString>& leaveOut)
{
    KLocalTree tree;
    QString root = rootPath;
    while (root.size() > 1 && root.endsWith(QLatin1Char('/')))
        root.chop(1);
    struct stat info;
    if (::stat(QFile::encodeName(root).constData(), &info) != 0 || !S_ISDIR(info.st_mode))
        return tree;
    Walk walk{tree, root, leaveOut, {{info.st_dev, info.st_ino}}};
    tree.complete = walk.folder(QString());
    return tree;
}

bool KLocalTree::isUnknown(const QString& rel) const
{
    for (const QString& folder : unreadable) {
        if (rel.startsWith(folder + QLatin1Char('/')))
            return true;
    }
    return false;
}

void KLocalTree::adopt(const KLocalTree& below, const QString& prefix)
{
    const QString head = prefix + QLatin1Char('/');
    for (auto it = below.files.begin(); it != below.files.end(); ++it)
        files.insert(head + it.key(), it.value());
    for (const QString& folder : below.folders)
        folders.insert(head + folder);
    for (const QString& folder : below.unreadable)
        unreadable.insert(head + folder);
    folders.insert(prefix);
    if (!below.complete)
        unreadable.insert(prefix);
}
