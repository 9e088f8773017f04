#pragma once

#include <QString>

// File contents, stored once per (MD5, size) below <root>/content, plus the
// data files of running uploads below <root>/uploads and temporary files
// below <root>/tmp. Content appears only by rename, so a content file is
// always complete.
class KContentStore
{
public:
    KContentStore(const QString& rootDir, bool syncWrites);

    // Creates the folders and removes temporary files left by a crash.
    bool prepare(QString* error);

    QString contentPath(const QString& md5, qint64 size) const;
    bool hasContent(const QString& md5, qint64 size) const;

    QString sessionPath(const QString& token) const;
    bool createSession(const QString& token, qint64 size);
    // Moves a finished upload's data file into the content store; when that
    // content is already stored the data file is simply removed.
    bool adoptSession(const QString& token, const QString& md5, qint64 size);
    void removeSession(const QString& token);

    // A new unique temporary file name.
    QString temporaryPath() const;
    bool adoptTemporary(const QString& tempPath, const QString& md5, qint64 size);

    static bool isHexMd5(const QString& text);

private:
    bool moveIntoPlace(const QString& from, const QString& md5, qint64 size);

    QString root;
    bool syncWrites = false;
};
