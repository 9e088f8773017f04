#pragma once

#include <QMap>
#include <QString>

// Form fields of the five upload operations, exactly as they are signed and
// sent. Pure; KUploadManager sends them.
class KUploadRequests
{
public:
    static QMap<QString, QString> makeDirs(const QString& dirPath);
    static QMap<QString, QString> askUpload(const QString& filePath, const QString& fileMd5, const QString& fileSize,
                                            const QString& chunkSize, const QString& expiredSecond,
                                            const QString& hopeSrvs, const QString& isCreateFile,
                                            const QString& isCreateVersion, const QString& baseUrl);
    // The file path of the upload only selects the address, so it is no field.
    static QMap<QString, QString> queryUploaded(const QString& upToken);
    static QMap<QString, QString> exchangeUpload(const QString& upToken, const QString& partNumber,
                                                 const QString& baseUrl);
    static QMap<QString, QString> submitUpload(const QString& filePath, const QString& upToken,
                                               const QString& isCreateFile, const QString& isCreateVersion);

    static QString flag(bool value) { return value ? QStringLiteral("true") : QStringLiteral("false"); }
};
