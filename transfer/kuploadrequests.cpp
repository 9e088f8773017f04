#include "transfer/kuploadrequests.h"

QMap<QString, QString> KUploadRequests::makeDirs(const QString& dirPath)
{
    return {{QStringLiteral("op"), QStringLiteral("domkdirs")}, {QStringLiteral("dirpath"), dirPath}};
}

QMap<QString, QString> KUploadRequests::askUpload(const QString& filePath, const QString& fileMd5,
                                                  const QString& fileSize, const QString& chunkSize,
                                                  const QString& expiredSecond, const QString& hopeSrvs,
                                                  const QString& isCreateFile, const QString& isCreateVersion,
                                                  const QString& baseUrl)
{
    return {{QStringLiteral("op"), QStringLiteral("kaskupload")},
            {QStringLiteral("filepath"), filePath},
            {QStringLiteral("filemd5"), fileMd5},
            {QStringLiteral("filesize"), fileSize},
            {QStringLiteral("chunksize"), chunkSize},
            {QStringLiteral("hopesrvs"), hopeSrvs},
            {QStringLiteral("iscreatefile"), isCreateFile},
            {QStringLiteral("iscreateversion"), isCreateVersion},
            {QStringLiteral("expiredsecond"), expiredSecond},
            {QStringLiteral("baseurl"), baseUrl}};
}

QMap<QString, QString> KUploadRequests::queryUploaded(const QString& upToken)
{
    return {{QStringLiteral("op"), QStringLiteral("kqueryuploaded")}, {QStringLiteral("uptoken"), upToken}};
}

QMap<QString, QString> KUploadRequests::exchangeUpload(const QString& upToken, const QString& partNumber,
                                                       const QString& baseUrl)
{
    return {{QStringLiteral("op"), QStringLiteral("kexchangeupload")},
            {QStringLiteral("uptoken"), upToken},
            {QStringLiteral("partnumber"), partNumber},
            {QStringLiteral("baseurl"), baseUrl}};
}

QMap<QString, QString> KUploadRequests::submitUpload(const QString& filePath, const QString& upToken,
                                                     const QString& isCreateFile, const QString& isCreateVersion)
{
    return {{QStringLiteral("op"), QStringLiteral("ksubmitupload")},
            {QStringLiteral("uptoken"), upToken},
            {QStringLiteral("filepath"), filePath},
            {QStringLiteral("meta"), QString()},
            {QStringLiteral("iscreatefile"), isCreateFile},
            {QStringLiteral("iscreateversion"), isCreateVersion}};
}
