#pragma once

#include <QString>

// The answer of "kaskdownload": where and what to fetch. Each field is named
// after its answer key; a missing key reads as the empty text.
struct KAskDownloadInfo
{
    QString datahash;
    QString downname;
    QString datasrv;
    QString datasize;
    QString url;
    QString expiredtime;
};
