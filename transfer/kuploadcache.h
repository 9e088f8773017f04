#pragma once

#include <QString>

// Upload tokens kept on disk, one entry per job, so that an interrupted upload
// goes on from the parts the server already holds. An entry is the folder
// <base>/datas/cache/upload/<key> holding "token.db", the token's UTF-8 bytes
// and nothing else. Only the upload thread uses it, one job at a time.
class KUploadCache
{
public:
    // The cache root; created when missing.
    static QString rootDir();
    // Lower-case hex MD5 of the Latin-1 bytes of the three texts joined; a
    // character above U+00FF counts as "?".
    static QString key(const QString& localPath, const QString& serverPath, const QString& fileMd5);
    // The entry folder of a job (not created here).
    static QString entryDir(const QString& localPath, const QString& serverPath, const QString& fileMd5);

    // "" when the job has no entry.
    static QString readToken(const QString& localPath, const QString& serverPath, const QString& fileMd5);
    static void writeToken(const QString& localPath, const QString& serverPath, const QString& fileMd5,
                           const QString& token);
    static void deleteToken(const QString& localPath, const QString& serverPath, const QString& fileMd5);

    // Removes a folder with its files and subfolders, then every parent that
    // became empty. Hidden entries are not removed, so a folder holding one
    // stays. True when the folder is gone (or was never there).
    static bool removeDir(const QString& path);

private:
    static QString tokenFile(const QString& entry);
};
