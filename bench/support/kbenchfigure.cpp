#include "kbenchfigure.h"

KBenchFigure KBenchFigure::of(const KMeasuredRun& run, qint64 bytes, int files, const KLinkProcess::Counters& wire)
{
    KBenchFigure figure;
    figure.ok = run.ok();
    figure.seconds = run.seconds;
    figure.cpuSeconds = run.cpuSeconds;
    figure.peakKiB = run.peakKiB;
    figure.bytes = bytes;
    figure.files = files;
    figure.wire = wire;
    return figure;
}

QString KBenchFigure::text() const
{
    if (!ok)
        return QStringLiteral("FAILED");
    QString text = QStringLiteral("%1 s  ").arg(seconds, 0, 'f', 2);
    if (files > 1)
        text += QStringLiteral("%1 files/s").arg(files / seconds, 0, 'f', 1);
    else
        text += QStringLiteral("%1 MiB/s").arg(bytes / 1048576.0 / seconds, 0, 'f', 1);
    text += QStringLiteral("  peak %1 MiB  cpu %2 s").arg(peakKiB / 1024.0, 0, 'f', 1).arg(cpuSeconds, 0, 'f', 2);
    if (wire.connections >= 0)
        text += QStringLiteral("  conns %1").arg(wire.connections);
    return text;
}

double KBenchFigure::ratioTo(const KBenchFigure& peer) const
{
    return ok && peer.ok && seconds > 0 ? peer.seconds / seconds : 0;
}

QString KBenchFigure::line(const QString& label, const KBenchFigure& ours, const QString& peerName, const KBenchFigure& peer)
{
    return QStringLiteral("%1  wexora: %2  |  %3: %4  |  ratio %5")
        .arg(label, ours.text(), peerName, peer.text())
        .arg(ours.ratioTo(peer), 0, 'f', 2);
}

void KBenchFigure::keepBest(const KBenchFigure& round)
{
    if (!ok || (round.ok && round.seconds < seconds))
        *this = round;
}
