#pragma once

#include <QString>

// Where the program keeps its files, "/"-only path handling, whole text files
// and Base64. Stateless; safe from any thread.
class KFileTools
{
public:
    // Two levels above the executable's folder (<AppDir> for <AppDir>/usr/bin/wexora).
    static QString appBaseDir();
    // Tests point the program at a base directory of their own.
    static void setAppBaseDirForTesting(const QString& dir);

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
