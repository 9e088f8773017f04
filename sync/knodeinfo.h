#pragma once

#include <QList>
#include <QString>

// One content version of a server file; the first of a node's list is current.
struct KVersionInfo
{
    QString datahash;
    qint64 datasize = 0;
    QString vuser;
    qint64 vtime = 0;
    qint64 version = 0;
};

// A server file or folder as "kgetnodes" and "klistdir" describe it.
struct KNodeInfo
{
    QString path;
    QString showpath;
    QString cuser;
    QList<KVersionInfo> versions;
    bool isfile = false;
    bool found = false;
    qint64 ctime = 0;
    qint64 cnum = 0;
};
