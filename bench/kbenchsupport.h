#pragma once

#include <QString>
#include <QStringList>

class KTestServer;

// Small pieces the sync benchmarks share.
namespace KBench {

double threadCpuSeconds();
double processCpuSeconds();
// Runs the event loop for ms milliseconds.
void idleMs(int ms);
// Peak and current resident memory of this process (VmHWM, VmRSS), in MiB.
double peakRssMiB();
double rssMiB();
// "d<i / perFolder>/f<i % perFolder>.txt"
QString relPath(int i, int perFolder);
// Each file holds its own relative path and was last changed an hour ago
// (a file saved moments ago is hashed again until its stamp can be trusted).
void writeLocal(const QString& root, const QStringList& rels);
// The same files in a space, through the admin endpoint, a few requests in flight.
void fillServer(const KTestServer& server, const QString& space, const QString& prefix, const QStringList& rels);
// Wall seconds of `find root -type f`.
double timeFind(const QString& root);

} // namespace KBench
