#pragma once

#include <QString>

// One queued download: a server file and where it lands locally.
struct KDownloadInfo
{
    QString localPath;
    QString serverPath;
    qint64 fileSize = -1;
    QString dataHash;
};
