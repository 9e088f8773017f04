#pragma once

#include <QString>

// A saved folder pair waiting in the one-time sync queue.
struct KSyncConfigItem
{
    QString id;
    QString localPath;
    QString spacePath;
    QString ignoreType;
    QString status;
    QString syncType;
};
