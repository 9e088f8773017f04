#pragma once

#include <QString>

// One queued upload: a local file and where it goes on the server.
struct KUploadInfo
{
    QString localPath;
    QString serverPath;
    qint64 filesize = 0;
    QString filemd5;
};
