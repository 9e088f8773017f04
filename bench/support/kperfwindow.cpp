#include "kperfwindow.h"

#include <QFile>

KPerfWindow::KPerfWindow()
{
    command("enable\n");
}

KPerfWindow::~KPerfWindow()
{
    command("disable\n");
}

void KPerfWindow::command(const char* line)
{
    const QString path = qEnvironmentVariable("WEXORA_PERF_CTL");
    if (path.isEmpty())
        return;
    QFile fifo(path);
    if (fifo.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        fifo.write(line);
}
