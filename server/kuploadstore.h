#pragma once

#include <QList>
#include <QSqlDatabase>
#include <QString>

#include <optional>

class KStorage;

// One announced upload. Its parts cover the file in `chunkSize` steps; the
// last part holds the rest.
struct KUploadSession
{
    QString token;
    QString userId;
    QString spaceId;
    QString relative;
    QString fileMd5;
    qint64 fileSize = 0;
    qint64 chunkSize = 0;
    bool createFile = true;
    bool createVersion = true;
    QString state; // "open", "hit" (content already stored), "done", "failed"
    qint64 created = 0;
    qint64 expires = 0; // seconds since the epoch

    // 64-bit: a size and chunk size within the limits can still need more
    // parts than an int holds; kaskupload refuses what needs too many.
    qint64 partCount() const;
    qint64 partOffset(int number) const;
    qint64 partSize(int number) const;
};

struct KStoredPart
{
    int number = 0;
    qint64 size = 0;
    QString md5; // empty until somebody asked for it
};

// Upload sessions and the parts received for them.
class KUploadStore
{
public:
    explicit KUploadStore(KStorage& storage);

    bool create(const KUploadSession& session);
    std::optional<KUploadSession> find(const QString& token);
    bool setState(QSqlDatabase& db, const QString& token, const QString& state);
    bool setState(const QString& token, const QString& state);
    // Records a received part, replacing an earlier copy of it.
    bool recordPart(const QString& token, int number, qint64 size);
    QList<KStoredPart> parts(const QString& token);
    bool hasPart(const QString& token, int number);
    bool removePart(const QString& token, int number);
    bool setPartMd5(const QString& token, int number, const QString& md5);
    bool removeParts(QSqlDatabase& db, const QString& token);
    // Open sessions whose expiry lies before `now`.
    QStringList expiredOpen(qint64 now);

private:
    KStorage& storage;
};
