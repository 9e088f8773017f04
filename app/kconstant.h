#pragma once

#include "app/kerrormap.h"

#include <QtGlobal>
#include <atomic>

// Process-wide constants and flags shared by the threads of the client.
class KConstant
{
public:
    KConstant() {}

    // Exit code of the event loop that asks main() to start a fresh copy.
    static const int RestartCode;
    static const int BUFF_SIZE;
    // Seconds since the epoch of the periodic sync thread's last check that
    // found configurations; owned by that thread alone.
    static qint64 SYNC_TIME;
    // True while the GUI thread runs a download handed over by the download thread.
    static std::atomic_bool IsDownloading;
    // Failed uploads by local path; locked internally.
    static KErrorMap ErrorMap;
};

class KDatabase
{
public:
    static const QString DataBaseName;
};
