#pragma once

#include <QString>

// Where the program keeps its files, "/"-only path handling, whole text files
// and Base64. Stateless; safe from any thread.
class KFileTools
{
public:
    // The folder of config/, db/, logs/ and datas/: two levels above the
    // executable's folder (<AppDir> for <AppDir>/usr/bin/wexora), or the
    // user's data folder for a system install (see KInstallLayout).
    static QString appBaseDir();
    // The folder holding page/: the AppDir, or <prefix>/share/wexora.
    static QString installDir();
    // Points both at one folder of the caller's choice (tests, the command
    // line's --base); an empty text goes back to the executable's layout.
    static void setAppBaseDir(const QString& dir);
    static void setAppBaseDirForTesting(const QString& dir) { setAppBaseDir(dir); }

    static QString formatPath(const QString& path);
    static QString parentPath(const QString& path);
    static QString fileName(const QString& path);
    static void makePath(const QString& path);

    static QString readTextFile(const QString& path);
    static void createFile(const QString& path);
    static void writeTextFile(const QString& path, const QString& text);

    static QString toBase64(const QString& text);
    static QString fromBase64(const QString& text);

    // UTF-8 up to the first zero byte.
    static QString utf8UpToZero(const QByteArray& bytes);
};
