#pragma once

#include "klinkprocess.h"
#include "kmeasuredrun.h"

#include <QProcess>
#include <QString>

// The peer's server: `rclone serve webdav` over a folder, reached through
// its own link simulator with the same preset as our client's server.
class KWebdavPeer
{
public:
    explicit KWebdavPeer(const QString& rclone = QStringLiteral("rclone"));
    ~KWebdavPeer();
    KWebdavPeer(const KWebdavPeer&) = delete;
    KWebdavPeer& operator=(const KWebdavPeer&) = delete;

    bool start(const QString& root, const QString& preset);
    // `rclone copy from to --transfers=N`, timed; a side starting with ":"
    // is a remote (see remote()).
    KMeasuredRun copy(const QString& from, const QString& to, int transfers);
    // The path below the served folder as an rclone remote.
    QString remote(const QString& path) const;
    KLinkProcess& link() { return proxy; }

private:
    QString rclone;
    QProcess serve;
    KLinkProcess proxy;
};
