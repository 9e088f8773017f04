#include "kwebdavpeer.h"

#include <QDeadlineTimer>
#include <QHostAddress>
#include <QTcpSocket>
#include <QThread>

namespace
{
bool waitListening(int port, const QProcess& process)
{
    const QDeadlineTimer deadline(20000);
    while (!deadline.hasExpired() && process.state() == QProcess::Running) {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, quint16(port));
        if (socket.waitForConnected(100))
            return true;
        QThread::msleep(50);
    }
    return false;
}
} // namespace

KWebdavPeer::KWebdavPeer(const QString& rclone)
    : rclone(rclone)
{
}

KWebdavPeer::~KWebdavPeer()
{
    proxy.stop();
    serve.terminate();
    serve.waitForFinished(10000);
}

bool KWebdavPeer::start(const QString& root, const QString& preset)
{
    const int port = KLinkProcess::freePort();
    serve.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    serve.start(rclone, {QStringLiteral("serve"), QStringLiteral("webdav"), root, QStringLiteral("--addr"),
                         QStringLiteral("127.0.0.1:%1").arg(port), QStringLiteral("--config"), QStringLiteral("/dev/null"),
                         QStringLiteral("--quiet")});
    return serve.waitForStarted() && waitListening(port, serve) && proxy.start(preset, port);
}

KMeasuredRun KWebdavPeer::copy(const QString& from, const QString& to, int transfers)
{
    return KMeasuredRun::run(rclone, {QStringLiteral("copy"), from, to, QStringLiteral("--transfers=%1").arg(transfers),
                                      QStringLiteral("--config"), QStringLiteral("/dev/null")});
}

QString KWebdavPeer::remote(const QString& path) const
{
    return QStringLiteral(":webdav,url='http://127.0.0.1:%1':%2").arg(proxy.port()).arg(path);
}
