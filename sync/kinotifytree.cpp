#include "sync/kinotifytree.h"

#include "sync/kchangebatch.h"

#include <QFile>
#include <QStringList>

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

const unsigned KInotifyTree::FolderMask = IN_CREATE | IN_DELETE | IN_MODIFY | IN_CLOSE_WRITE | IN_ATTRIB
                                          | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR
                                          | IN_EXCL_UNLINK;

namespace {

QString join(const QString& folder, const QString& name)
{
    return folder.isEmpty() ? name : folder + QLatin1Char('/') + name;
}

// The empty folder is the root, above everything.
bool isBelow(const QString& path, const QString& folder)
{
    return folder.isEmpty() || path == folder || path.startsWith(folder + QLatin1Char('/'));
}

bool isFolder(int dirFd, const dirent& entry)
{
    if (entry.d_type != DT_UNKNOWN)
        return entry.d_type == DT_DIR;
    struct stat info;
    return ::fstatat(dirFd, entry.d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(info.st_mode);
}

} // namespace

KInotifyTree::KInotifyTree(const QString& root, Budget& budget)
    : root(root)
    , budget(budget)
    , inotifyFd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC))
{
}

KInotifyTree::~KInotifyTree()
{
    budget.used -= folderOf.size();
    if (inotifyFd >= 0)
        ::close(inotifyFd);
}

KInotifyTree::Status KInotifyTree::start()
{
    // Without an instance (the per-user count is used up) no tree can be live.
    if (inotifyFd < 0)
        return Status::LimitReached;
    return addTree(QString(), nullptr);
}

QString KInotifyTree::pathOf(const QString& rel) const
{
    return rel.isEmpty() ? root : root + QLatin1Char('/') + rel;
}

// Watch first, list afterwards: what appears in between shows up in both,
// never in neither.
KInotifyTree::Status KInotifyTree::addTree(const QString& rel, KChangeBatch* report)
{
    QStringList pending{rel};
    while (!pending.isEmpty()) {
        const QString folder = pending.takeLast();
        bool descend = false;
        const Status status = addFolder(folder, &descend);
        if (status != Status::Ok)
            return status;
        if (descend)
            listFolder(folder, pending, report);
    }
    return Status::Ok;
}

KInotifyTree::Status KInotifyTree::addFolder(const QString& rel, bool* descend)
{
    // The root may be a link the user chose; below it, links are entries.
    const quint32 mask = FolderMask | (rel.isEmpty() ? 0u : quint32(IN_DONT_FOLLOW));
    const int wd = ::inotify_add_watch(inotifyFd, QFile::encodeName(pathOf(rel)).constData(), mask);
    if (wd < 0) {
        if (errno == ENOSPC)
            return Status::LimitReached;
        // Vanished already, or no longer a folder: nothing to watch.
        return rel.isEmpty() ? Status::RootGone : Status::Ok;
    }
    const auto known = folderOf.constFind(wd);
    if (known != folderOf.constEnd()) {
        // Watched already; under another name it is a mount seen twice.
        *descend = *known == rel;
        return Status::Ok;
    }
    if (budget.max >= 0 && budget.used >= budget.max) {
        ::inotify_rm_watch(inotifyFd, wd);
        return Status::LimitReached;
    }
    ++budget.used;
    folderOf.insert(wd, rel);
    if (rel.isEmpty())
        rootWd = wd;
    *descend = true;
    return Status::Ok;
}

void KInotifyTree::listFolder(const QString& rel, QStringList& folders, KChangeBatch* report) const
{
    const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (rel.isEmpty() ? 0 : O_NOFOLLOW);
    const int fd = ::open(QFile::encodeName(pathOf(rel)).constData(), flags);
    DIR* dir = fd < 0 ? nullptr : ::fdopendir(fd);
    if (!dir) {
        if (fd >= 0)
            ::close(fd);
        return;
    }
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        const QString child = join(rel, QFile::decodeName(entry->d_name));
        if (isFolder(::dirfd(dir), *entry))
            folders << child;
        if (report)
            report->add(child);
    }
    ::closedir(dir);
}

KInotifyTree::Status KInotifyTree::read(KChangeBatch& batch)
{
    alignas(inotify_event) char buffer[64 * 1024];
    ssize_t size;
    while ((size = ::read(inotifyFd, buffer, sizeof buffer)) > 0) {
        for (const char* at = buffer; at < buffer + size;) {
            const auto* event = reinterpret_cast<const inotify_event*>(at);
            at += sizeof(inotify_event) + event->len;
            const QString name = event->len ? QFile::decodeName(event->name) : QString();
            const Status status = handle(event->wd, event->mask, name, batch);
            if (status != Status::Ok)
                return status;
        }
    }
    if (!overflowed)
        return Status::Ok;
    // Folders made while events were lost have no watch yet.
    overflowed = false;
    return addTree(QString(), nullptr);
}

KInotifyTree::Status KInotifyTree::handle(int wd, quint32 mask, const QString& name, KChangeBatch& batch)
{
    if (mask & IN_Q_OVERFLOW) {
        batch.markFull();
        overflowed = true;
        return Status::Ok;
    }
    const auto it = folderOf.constFind(wd);
    if (it == folderOf.constEnd())
        return Status::Ok; // a watch dropped before its last events were read
    if (wd == rootWd && (mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT | IN_IGNORED)))
        return Status::RootGone;
    const QString folder = *it;
    if (mask & IN_IGNORED) {
        forget(wd);
        return Status::Ok;
    }
    if (mask & IN_UNMOUNT) {
        // What lay below the mount point is visible again.
        dropSubtree(folder);
        batch.add(folder);
        return addTree(folder, &batch);
    }
    // A folder's own events are reported by its parent, by name.
    if (name.isEmpty() || name.startsWith(QLatin1Char('.')))
        return Status::Ok;
    return handleChild(join(folder, name), mask, batch);
}

KInotifyTree::Status KInotifyTree::handleChild(const QString& rel, quint32 mask, KChangeBatch& batch)
{
    batch.add(rel);
    if (!(mask & IN_ISDIR))
        return Status::Ok;
    // A folder moved elsewhere would go on reporting under its old name.
    if (mask & (IN_DELETE | IN_MOVED_FROM))
        dropSubtree(rel);
    if (mask & (IN_CREATE | IN_MOVED_TO))
        return addTree(rel, &batch);
    return Status::Ok;
}

void KInotifyTree::forget(int wd)
{
    folderOf.remove(wd);
    --budget.used;
}

void KInotifyTree::dropSubtree(const QString& rel)
{
    QList<int> below;
    for (auto it = folderOf.constBegin(); it != folderOf.constEnd(); ++it) {
        if (it.key() != rootWd && isBelow(it.value(), rel))
            below << it.key();
    }
    for (int wd : below) {
        ::inotify_rm_watch(inotifyFd, wd);
        forget(wd);
    }
}
