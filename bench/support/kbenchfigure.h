#pragma once

#include "klinkprocess.h"
#include "kmeasuredrun.h"

#include <QString>

// One side's figure in one benchmark case.
struct KBenchFigure
{
    bool ok = false;
    double seconds = 0;
    double cpuSeconds = -1;
    qint64 peakKiB = -1;
    qint64 bytes = 0;
    int files = 0;
    KLinkProcess::Counters wire;

    // Keeps the faster of this and another round's figure (a failed one never counts).
    void keepBest(const KBenchFigure& round);
    static KBenchFigure of(const KMeasuredRun& run, qint64 bytes, int files, const KLinkProcess::Counters& wire);
    // "12.34 s  81.0 files/s  peak 55.1 MiB  cpu 3.20 s  conns 4"; MiB/s for one file.
    QString text() const;
    // How much faster this side was than `peer` (peer time / our time).
    double ratioTo(const KBenchFigure& peer) const;
    // "<case>  wexora: <ours>  |  <peerName>: <peer>  |  ratio r"
    static QString line(const QString& label, const KBenchFigure& ours, const QString& peerName, const KBenchFigure& peer);
};
