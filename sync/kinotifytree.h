#pragma once

#include <QHash>
#include <QString>

struct KChangeBatch;

// One local folder tree under an inotify instance of its own: a watch on
// every folder below the root, kept in step as folders appear, vanish or
// move, and the events read back as paths relative to the root. Hidden
// names (".x") are neither watched nor reported; links are not followed
// below the root, so nothing outside the tree is watched. Not thread-safe:
// one thread owns it.
class KInotifyTree
{
public:
    // The watches all trees may hold together; max < 0 leaves it to the
    // system (tests set a small one).
    struct Budget
    {
        int max = -1;
        int used = 0;
    };

    enum class Status {
        Ok,
        // The root is gone, moved away or unmounted (or was never there).
        RootGone,
        // No more watches to be had: this tree can no longer be complete.
        LimitReached,
    };

    KInotifyTree(const QString& root, Budget& budget);
    ~KInotifyTree();
    KInotifyTree(const KInotifyTree&) = delete;
    KInotifyTree& operator=(const KInotifyTree&) = delete;

    // Watches the whole tree.
    Status start();
    // The descriptor to poll for readability.
    int fd() const { return inotifyFd; }
    // Reads every waiting event without blocking into batch.
    Status read(KChangeBatch& batch);
    int watchCount() const { return folderOf.size(); }

    static const unsigned FolderMask;

private:
    Status addTree(const QString& rel, KChangeBatch* report);
    Status addFolder(const QString& rel, bool* descend);
    void listFolder(const QString& rel, QStringList& folders, KChangeBatch* report) const;
    Status handle(int wd, quint32 mask, const QString& name, KChangeBatch& batch);
    Status handleChild(const QString& rel, quint32 mask, KChangeBatch& batch);
    void forget(int wd);
    void dropSubtree(const QString& rel);
    QString pathOf(const QString& rel) const;

    QString root;
    Budget& budget;
    int inotifyFd = -1;
    int rootWd = -1;
    bool overflowed = false;
    QHash<int, QString> folderOf;
};
