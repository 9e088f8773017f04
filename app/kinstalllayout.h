#pragma once

#include <QString>

// Where the program keeps its own files and where it reads its pages from,
// decided from where the executable lies.
//
// An AppDir (<dir>/usr/bin/wexora with <dir>/page) keeps everything below
// <dir>. A system install (/usr/bin/wexora with /usr/share/wexora/page) reads
// its pages from the install and keeps config, db, logs and caches below the
// user's data folder, as does any install whose base folder the user cannot
// write to.
struct KInstallLayout
{
    QString dataDir;    // config/, db/, logs/, datas/
    QString installDir; // page/

    // What the disk and the environment say, gathered by gather().
    struct Facts
    {
        QString exeDir;
        bool baseWritable = false; // the folder two levels above exeDir
        bool basePages = false;    // <base>/page exists
        bool sharedPages = false;  // <exeDir>/../share/wexora/page exists
        QString xdgDataHome;
        QString home;
    };

    static KInstallLayout decide(const Facts& facts);
    static Facts gather(const QString& exeDir);
    // $XDG_DATA_HOME/wexora, or ~/.local/share/wexora when it is unset or relative.
    static QString userDataDir(const QString& xdgDataHome, const QString& home);
};
