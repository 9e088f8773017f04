#include "klinkprocess.h"

#include <QDeadlineTimer>
#include <QRegularExpression>
#include <QTcpServer>

#include <csignal>

namespace
{
constexpr int StartMs = 10000;

KLinkProcess::Counters parseCounters(const QByteArray& line)
{
    static const QRegularExpression pattern(QStringLiteral("(\\d+) connections .* up (\\d+) bytes, down (\\d+) bytes"));
    const QRegularExpressionMatch match = pattern.match(QString::fromLatin1(line));
    KLinkProcess::Counters counters;
    if (match.hasMatch())
        counters = {match.captured(1).toLongLong(), match.captured(2).toLongLong(), match.captured(3).toLongLong()};
    return counters;
}
} // namespace

KLinkProcess::Counters KLinkProcess::Counters::since(const Counters& before) const
{
    if (connections < 0 || before.connections < 0)
        return Counters();
    return {connections - before.connections, up - before.up, down - before.down};
}

KLinkProcess::~KLinkProcess()
{
    stop();
}

QString KLinkProcess::program()
{
    return QStringLiteral(WEXORA_LINKSIM_BIN);
}

int KLinkProcess::freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

bool KLinkProcess::start(const QString& preset, int targetPort, int port)
{
    if (preset == QLatin1String("direct")) {
        listenPort = targetPort;
        return true;
    }
    process.start(program(), {QStringLiteral("--target"), QStringLiteral("127.0.0.1:%1").arg(targetPort),
                              QStringLiteral("--listen"), QStringLiteral("127.0.0.1:%1").arg(port),
                              QStringLiteral("--preset"), preset, QStringLiteral("--exit-with-parent")});
    return process.waitForStarted(StartMs) && readListening();
}

bool KLinkProcess::readListening()
{
    const QDeadlineTimer deadline(StartMs);
    while (!deadline.hasExpired() && (process.canReadLine() || process.waitForReadyRead(int(deadline.remainingTime())))) {
        const QByteArray line = process.readLine().trimmed();
        if (line.startsWith("listening ")) {
            listenPort = line.mid(line.lastIndexOf(':') + 1).toInt();
            return listenPort > 0;
        }
    }
    return false;
}

KLinkProcess::Counters KLinkProcess::counters()
{
    if (process.state() != QProcess::Running)
        return Counters();
    process.setReadChannel(QProcess::StandardError);
    process.readAll();
    ::kill(pid_t(process.processId()), SIGUSR1);
    const QDeadlineTimer deadline(StartMs);
    while (!deadline.hasExpired() && (process.canReadLine() || process.waitForReadyRead(int(deadline.remainingTime())))) {
        const Counters counters = parseCounters(process.readLine());
        if (counters.connections >= 0)
            return counters;
    }
    return Counters();
}

void KLinkProcess::stop()
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    process.waitForFinished(StartMs);
}
