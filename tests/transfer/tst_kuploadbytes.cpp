#include "transfer/kuploadmanager.h"
#include "transfer/kuploadoutcome.h"
#include "transfer/kuploadpart.h"
#include "transfer/kuploadpartsender.h"
#include "transfer/kuploadrequests.h"

#include <QBuffer>
#include <QtTest>

using Fields = QMap<QString, QString>;

// What an upload puts on the wire and writes down, byte for byte: multipart
// framing, TROV-BYTES, the five operation forms, reply judging, error rows
// and the redaction of tokens in the log.
class TestUploadBytes : public QObject
{
    Q_OBJECT

private slots:
    void multipartBodyIsFramedExactly();
    void framedReadHoldsThePartOnce();
    void trovBytesOfATwelveMiBFile_data();
    void trovBytesOfATwelveMiBFile();
    void boundaryIsABracedUuidEveryTime();
    void operationForms_data();
    void operationForms();
    void reusedRequestKeepsTrovBytesButDropsMultipartTypeForPut();
    void onlyCodeZeroIsSuccess_data();
    void onlyCodeZeroIsSuccess();
    void errorTexts_data();
    void errorTexts();
    void errorRowHasSixTexts();
    void tokensNeverReachTheLog();
};

namespace {
const QString Boundary = QStringLiteral("{0f8fad5b-d9cb-469f-a165-70867728950e}");
}

void TestUploadBytes::multipartBodyIsFramedExactly()
{
    const QByteArray expected =
        "--{0f8fad5b-d9cb-469f-a165-70867728950e}\r\n"
        "Content-Disposition: form-data; name=\"file\"; filename=\"file\"\r\n"
        "Content-Type: application/octet-stream\r\n"
        "\r\n"
        "abc\r\n"
        "--{0f8fad5b-d9cb-469f-a165-70867728950e}--\r\n";
    QCOMPARE(KUploadManager::multipartBody(Boundary, "abc"), expected);
    QCOMPARE(KUploadPart::contentType(Boundary), QByteArray("multipart/form-data;boundary={0f8fad5b-d9cb-469f-a165-70867728950e}"));

    // Bytes that look like framing are carried unchanged.
    const QByteArray tricky("\r\n--{x}--\r\n\0\xff", 13);
    QCOMPARE(KUploadManager::multipartBody(QStringLiteral("{x}"), tricky),
             QByteArray("--{x}\r\nContent-Disposition: form-data; name=\"file\"; filename=\"file\"\r\n"
                        "Content-Type: application/octet-stream\r\n\r\n")
                 + tricky + QByteArray("\r\n--{x}--\r\n"));
}

void TestUploadBytes::framedReadHoldsThePartOnce()
{
    QByteArray file("0123456789");
    QBuffer device(&file);
    QVERIFY(device.open(QIODevice::ReadOnly));
    QVERIFY(device.seek(4));
    const QByteArray head = KUploadPart::multipartHead(Boundary);
    const QByteArray tail = KUploadPart::multipartTail(Boundary);
    QCOMPARE(KUploadPart::readFramed(device, 3, head, tail), KUploadManager::multipartBody(Boundary, "456"));
    // The last part is shorter than asked for: only what the file holds.
    QCOMPARE(KUploadPart::readFramed(device, 5242880, head, tail), KUploadManager::multipartBody(Boundary, "789"));
    QCOMPARE(KUploadPart::readFramed(device, 5242880, head, tail), KUploadManager::multipartBody(Boundary, ""));
}

void TestUploadBytes::trovBytesOfATwelveMiBFile_data()
{
    QTest::addColumn<qint64>("offset");
    QTest::addColumn<QByteArray>("header");
    // The end is a whole segment on even for the 2 MiB last part.
    QTest::newRow("part 1") << qint64(0) << QByteArray("0-5242880");
    QTest::newRow("part 2") << qint64(5242880) << QByteArray("5242880-10485760");
    QTest::newRow("part 3") << qint64(10485760) << QByteArray("10485760-15728640");
    QTest::newRow("beyond 4 GiB") << qint64(5242880) * 1000 << QByteArray("5242880000-5248122880");
}

void TestUploadBytes::trovBytesOfATwelveMiBFile()
{
    QFETCH(qint64, offset);
    QFETCH(QByteArray, header);
    QCOMPARE(KUploadManager::trovBytes(offset), header);
}

void TestUploadBytes::boundaryIsABracedUuidEveryTime()
{
    const QRegularExpression uuid(QStringLiteral("^\\{[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}\\}$"));
    const QString first = KUploadPart::newBoundary();
    const QString second = KUploadPart::newBoundary();
    QVERIFY2(uuid.match(first).hasMatch(), qPrintable(first));
    QVERIFY(first != second);
}

void TestUploadBytes::operationForms_data()
{
    QTest::addColumn<Fields>("built");
    QTest::addColumn<Fields>("expected");
    QTest::newRow("domkdirs") << KUploadRequests::makeDirs("@s1/a/b")
                              << Fields{{"op", "domkdirs"}, {"dirpath", "@s1/a/b"}};
    QTest::newRow("kaskupload")
        << KUploadRequests::askUpload("@s1/a/f.bin", "900150983cd24fb0d6963f7d28e17f72", "12582912", "5242880",
                                      "86400", "", "false", "true", "")
        << Fields{{"op", "kaskupload"},       {"filepath", "@s1/a/f.bin"},
                  {"filemd5", "900150983cd24fb0d6963f7d28e17f72"},
                  {"filesize", "12582912"},   {"chunksize", "5242880"},
                  {"hopesrvs", ""},           {"iscreatefile", "false"},
                  {"iscreateversion", "true"}, {"expiredsecond", "86400"},
                  {"baseurl", ""}};
    QTest::newRow("kqueryuploaded") << KUploadRequests::queryUploaded("tok")
                                    << Fields{{"op", "kqueryuploaded"}, {"uptoken", "tok"}};
    QTest::newRow("kexchangeupload") << KUploadRequests::exchangeUpload("tok", "3", "")
                                     << Fields{{"op", "kexchangeupload"}, {"uptoken", "tok"}, {"partnumber", "3"},
                                               {"baseurl", ""}};
    QTest::newRow("ksubmitupload") << KUploadRequests::submitUpload("@s1/a/f.bin", "tok", "true", "true")
                                   << Fields{{"op", "ksubmitupload"}, {"uptoken", "tok"},
                                             {"filepath", "@s1/a/f.bin"}, {"meta", ""},
                                             {"iscreatefile", "true"}, {"iscreateversion", "true"}};
}

void TestUploadBytes::operationForms()
{
    QFETCH(Fields, built);
    QFETCH(Fields, expected);
    QCOMPARE(built, expected);
}

void TestUploadBytes::reusedRequestKeepsTrovBytesButDropsMultipartTypeForPut()
{
    KUploadPartSender sender(nullptr, KUploadManager::SEGMENT_SIZE);
    KUploadTicket post;
    post.upmethod = "POST";
    post.httpurl = "http://127.0.0.1:9/upload/t/1?expires=1&sig=s";
    const QString boundary = sender.prepare(post, 0);
    QCOMPARE(sender.request().url().toString(), post.httpurl);
    QCOMPARE(sender.request().rawHeader("Content-Type"), "multipart/form-data;boundary=" + boundary.toLatin1());
    QCOMPARE(sender.request().rawHeader("TROV-BYTES"), QByteArray("0-5242880"));

    KUploadTicket put = post;
    put.upmethod = "PUT";
    put.httpurl = "http://127.0.0.1:9/upload/t/2?expires=1&sig=s";
    QCOMPARE(sender.prepare(put, 5242880), QString());
    QCOMPARE(sender.request().url().toString(), put.httpurl);
    QVERIFY(!sender.request().hasRawHeader("Content-Type"));
    QVERIFY(!sender.request().header(QNetworkRequest::ContentTypeHeader).isValid());
    // The same request object: the earlier part's header is still on it.
    QCOMPARE(sender.request().rawHeader("TROV-BYTES"), QByteArray("0-5242880"));

    // The policy every request gets: verified TLS, no redirects, a time-out.
    QCOMPARE(sender.request().sslConfiguration().peerVerifyMode(), QSslSocket::VerifyPeer);
    QCOMPARE(sender.request().attribute(QNetworkRequest::RedirectPolicyAttribute).toInt(),
             int(QNetworkRequest::ManualRedirectPolicy));
    QVERIFY(sender.request().transferTimeout() > 0);
}

void TestUploadBytes::onlyCodeZeroIsSuccess_data()
{
    QTest::addColumn<QString>("reply");
    QTest::addColumn<bool>("success");
    QTest::newRow("code 0") << "{\"code\":0,\"errtip\":\"\",\"data\":{\"path\":\"@s1/f\"}}" << true;
    QTest::newRow("code text 0") << "{\"code\":\"0\"}" << true;
    QTest::newRow("code 31") << "{\"code\":31,\"errtip\":\"upload incomplete\",\"data\":\"part 2 missing\"}" << false;
    QTest::newRow("no code") << "{\"data\":\"ok\"}" << false;
    QTest::newRow("empty body") << "" << false;
    QTest::newRow("html page") << "<html><body>error</body></html>" << false;
    QTest::newRow("array") << "[0]" << false;
    QTest::newRow("code text 5") << "{\"code\":\"5\"}" << false;
}

void TestUploadBytes::onlyCodeZeroIsSuccess()
{
    QFETCH(QString, reply);
    QFETCH(bool, success);
    QCOMPARE(KUploadOutcome::isSuccess(reply), success);
}

void TestUploadBytes::errorTexts_data()
{
    QTest::addColumn<QString>("reply");
    QTest::addColumn<QString>("text");
    QTest::newRow("data cut at markup") << "{\"code\":5,\"errtip\":\"x\",\"data\":\"abcdefgh<p>\"}" << "ab";
    QTest::newRow("markup before position 7 stays") << "{\"code\":5,\"data\":\"abc<p>def\"}" << "abc<p>def";
    QTest::newRow("markup at position 7") << "{\"code\":5,\"data\":\"abcdefg<b>\"}" << "a";
    QTest::newRow("data whole") << "{\"code\":31,\"errtip\":\"t\",\"data\":\"part 2 missing\"}" << "part 2 missing";
    QTest::newRow("errtip without data") << "{\"code\":21,\"errtip\":\"a folder is in the way\"}"
                                         << "a folder is in the way";
    QTest::newRow("object data falls back to errtip") << "{\"code\":1,\"errtip\":\"busy\",\"data\":{\"a\":1}}" << "busy";
    QTest::newRow("silent failure") << "{\"code\":7}" << "提交上传失败";
    QTest::newRow("empty body") << "" << "提交上传无响应";
    QTest::newRow("html page") << "<html><body>error</body></html>" << "提交上传返回无法解析";
}

void TestUploadBytes::errorTexts()
{
    QFETCH(QString, reply);
    QFETCH(QString, text);
    QCOMPARE(KUploadOutcome::errorText(reply, QStringLiteral("提交上传")), text);
}

void TestUploadBytes::errorRowHasSixTexts()
{
    // md5sum of the Latin-1 bytes of "/home/u/a.txt".
    QCOMPARE(KUploadOutcome::errorRow("/home/u/a.txt", "@s1/a.txt", 1765161600123, "ab"),
             (QStringList{"49dadc3116d8c559503ba9a9a63b3b5e", "/home/u/a.txt", "@s1/a.txt", "upload",
                          "1765161600123", "ab"}));
}

void TestUploadBytes::tokensNeverReachTheLog()
{
    QCOMPARE(KUploadOutcome::redactTokens("{\"code\":0,\"data\":{\"uptoken\":\"0a1b2c\",\"upmethod\":\"POST\"}}"),
             QString("{\"code\":0,\"data\":{\"uptoken\":\"***\",\"upmethod\":\"POST\"}}"));
    QCOMPARE(KUploadOutcome::redactTokens("[{\"uptoken\" : \"a\\\"b\",\"partnumber\":1},{\"uptoken\":\"c\"}]"),
             QString("[{\"uptoken\" : \"***\",\"partnumber\":1},{\"uptoken\":\"***\"}]"));
    QCOMPARE(KUploadOutcome::redactUrl("http://u:p@127.0.0.1:8080/upload/0a1b2c/3?expires=9&sig=abc", "0a1b2c"),
             QString("http://127.0.0.1:8080/upload/***/3"));
}

QTEST_GUILESS_MAIN(TestUploadBytes)
#include "tst_kuploadbytes.moc"
