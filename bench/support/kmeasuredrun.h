#pragma once

#include <QString>
#include <QStringList>

// A peer program run to its end, with what the kernel counted for it alone:
// wall time, CPU time (user + system) and peak resident memory.
struct KMeasuredRun
{
    int exitCode = -1;
    double seconds = 0;
    double cpuSeconds = 0;
    qint64 peakKiB = 0;

    bool ok() const { return exitCode == 0; }
    // Runs `program` (looked up in PATH) with its stdout discarded.
    static KMeasuredRun run(const QString& program, const QStringList& args);
};
