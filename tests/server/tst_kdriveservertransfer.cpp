#include "ktestapiclient.h"
#include "ktestserver.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QTcpSocket>
#include <QtTest>

#include <future>

// Uploads and downloads through the running server, as the client does them:
// 5 MiB parts with per-part tickets, commit, ranged GET.
class TestKDriveServerTransfer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void multiPartUploadReadsBackByRange();
    void partBodiesMayHoldBoundaryLookalikes();
    void putPartsWhenTheServerSaysSo();
    void instantUploadNeedsNoPart();
    void newVersionOfAnExistingFile();
    void emptyFileIsCommittable();
    void batchDownloadAnswersEachFile();
    void resumeAfterADroppedPart();
    void partsOfOneUploadArriveTogether();
    void commitSentTwiceWhileAPartArrives();
    void partBodyEndsWhereItsLengthSays_data();
    void partBodyEndsWhereItsLengthSays();
    void askReceivedTwiceIsOneUpload();
    void commitRefusals();
    void partRefusals();
    void forgedAndExpiredAddressesRefused();
    void restartKeepsEverythingByteForByte();
    void tlsMode();

private:
    static QByteArray pattern(int size, int seed);
    static QString md5(const QByteArray& data);
    QString path(const QString& relative) const { return "@" + space + "/" + relative; }

    KTestServer server;
    std::unique_ptr<KTestApiClient> client;
    const QString space = KTestServer::demoPersonalSpace();
};

QByteArray TestKDriveServerTransfer::pattern(int size, int seed)
{
    QByteArray data(size, Qt::Uninitialized);
    quint32 state = quint32(seed) * 2654435761u + 1;
    for (int i = 0; i < size; ++i) {
        state = state * 1103515245u + 12345u;
        data[i] = char(state >> 24);
    }
    return data;
}

QString TestKDriveServerTransfer::md5(const QByteArray& data)
{
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex());
}

void TestKDriveServerTransfer::initTestCase()
{
    QVERIFY(server.start());
    client = std::make_unique<KTestApiClient>(server.baseUrl());
    QVERIFY(client->login(KTestServer::demoUser(), KTestServer::demoPassword()));
}

void TestKDriveServerTransfer::multiPartUploadReadsBackByRange()
{
    const QByteArray content = pattern(12 * 1024 * 1024 + 123, 1);
    const KTestApiClient::Answer asked = client->askUpload(path("big/file.bin"), content);
    QCOMPARE(asked.code(), 0);
    const QJsonObject ticket = asked.data().toObject();
    QCOMPARE(ticket.value("upmethod").toString(), QStringLiteral("POST"));
    QCOMPARE(ticket.value("partnumber").toString(), QStringLiteral("3"));
    const QString token = ticket.value("uptoken").toString();
    for (int part = 1; part <= 3; ++part) {
        const KTestApiClient::Answer exchanged = client->exchange(space, token, part);
        QCOMPARE(exchanged.data().toObject().value("uptoken").toString(), token);
        QVERIFY(exchanged.data().toObject().value("httpurl").toString().startsWith(server.baseUrl() + "/"));
        const qint64 offset = (part - 1) * KTestApiClient::ChunkSize;
        QCOMPARE(client->sendPart(exchanged.data().toObject(), content.mid(int(offset), int(KTestApiClient::ChunkSize)), offset).code(), 0);
    }
    const KTestApiClient::Answer committed = client->submit(path("big/file.bin"), token);
    QCOMPARE(committed.code(), 0);
    QCOMPARE(server.files(space).value("big/file.bin"), content);
    const QJsonObject version = committed.data().toObject().value("versions").toArray().at(0).toObject();
    QCOMPARE(version.value("datahash").toString(), md5(content));
    QCOMPARE(qint64(version.value("datasize").toDouble()), qint64(content.size()));

    const QString url = client->downloadUrl(path("big/file.bin"));
    const KTestApiClient::Answer whole = client->get(url);
    QCOMPARE(whole.status, 200);
    QCOMPARE(whole.body, content);
    const KTestApiClient::Answer tail = client->get(url, "bytes=7000000-");
    QCOMPARE(tail.status, 206);
    QCOMPARE(tail.headers.value("content-range"), QByteArray("bytes 7000000-12583034/12583035"));
    QCOMPARE(tail.body, content.mid(7000000));
    const KTestApiClient::Answer beyond = client->get(url, "bytes=12583035-");
    QCOMPARE(beyond.status, 416);
    QCOMPARE(beyond.headers.value("content-range"), QByteArray("bytes */12583035"));
    QVERIFY(beyond.body.isEmpty());
}

void TestKDriveServerTransfer::partBodiesMayHoldBoundaryLookalikes()
{
    // Bytes that look like the start of the closing boundary stay data (a
    // whole delimiter cannot occur in a body; the UUID makes sure of that).
    const QByteArray boundary = "{0f8fad5b-d9cb-469f-a165-70867728950e}";
    const QByteArray content = "a\r\n--" + boundary.chopped(1) + "\r\n--" + boundary.left(10) + "\r\n\r\n--"
                               + pattern(3000, 2) + "\r\n--" + boundary.left(5) + "\r\n-";
    const KTestApiClient::Answer asked = client->askUpload(path("lookalike.bin"), content);
    const QString token = asked.data().toObject().value("uptoken").toString();
    const QString url = client->exchange(space, token, 1).data().toObject().value("httpurl").toString();
    const KTestApiClient::Answer sent = client->post(url, KTestApiClient::multipartBody(boundary, content),
                                                     {{"Content-Type", "multipart/form-data;boundary=" + boundary},
                                                      {"TROV-BYTES", "0-5242880"}});
    QCOMPARE(sent.code(), 0);
    QCOMPARE(client->submit(path("lookalike.bin"), token).code(), 0);
    QCOMPARE(server.fileContent(space, "lookalike.bin"), content);
}

void TestKDriveServerTransfer::putPartsWhenTheServerSaysSo()
{
    QVERIFY(server.configure({{"uploadMethod", "PUT"}}));
    const QByteArray content = pattern(6 * 1024 * 1024, 3);
    const KTestApiClient::Answer asked = client->askUpload(path("put.bin"), content);
    const QString token = asked.data().toObject().value("uptoken").toString();
    const QJsonObject ticket = client->exchange(space, token, 2).data().toObject();
    QCOMPARE(ticket.value("upmethod").toString(), QStringLiteral("PUT"));
    QCOMPARE(client->sendPart(ticket, content.mid(int(KTestApiClient::ChunkSize)), KTestApiClient::ChunkSize).code(), 0);
    QCOMPARE(client->sendPart(client->exchange(space, token, 1).data().toObject(), content.left(int(KTestApiClient::ChunkSize)), 0).code(), 0);
    QVERIFY(server.configure({{"uploadMethod", "POST"}}));
    QCOMPARE(client->submit(path("put.bin"), token).code(), 0);
    QCOMPARE(server.fileContent(space, "put.bin"), content);
}

void TestKDriveServerTransfer::instantUploadNeedsNoPart()
{
    const QByteArray content = pattern(300000, 4);
    QCOMPARE(client->upload(path("hit/original.bin"), content).code(), 0);
    const qint64 partsBefore = server.stats().value("part");
    const KTestApiClient::Answer asked = client->askUpload(path("hit/copy.bin"), content);
    QCOMPARE(asked.data().toObject().value("upmethod").toString(), QStringLiteral("HIT"));
    QCOMPARE(client->submit(path("hit/copy.bin"), asked.data().toObject().value("uptoken").toString()).code(), 0);
    QCOMPARE(server.stats().value("part"), partsBefore);
    QCOMPARE(server.fileContent(space, "hit/copy.bin"), content);
    // Same MD5 text but another size is not the same content.
    QByteArray longer = content;
    longer.append('x');
    QCOMPARE(client->askUpload(path("hit/longer.bin"), longer).data().toObject().value("upmethod").toString(), QStringLiteral("POST"));
}

void TestKDriveServerTransfer::newVersionOfAnExistingFile()
{
    const QByteArray first = pattern(1000, 5);
    const QByteArray second = pattern(2500, 6);
    QCOMPARE(client->upload(path("v/doc.txt"), first).code(), 0);
    QCOMPARE(client->upload(path("v/doc.txt"), second, false).code(), 0);
    const QJsonArray versions = client->call(space, {{"op", "kgetnodes"}, {"paths", "[\"" + path("v/doc.txt") + "\"]"}})
                                    .data().toArray().at(0).toObject().value("versions").toArray();
    QCOMPARE(versions.size(), 2);
    QCOMPARE(versions.at(0).toObject().value("datahash").toString(), md5(second));
    QCOMPARE(versions.at(0).toObject().value("version").toInt(), 2);
    QCOMPARE(versions.at(1).toObject().value("datahash").toString(), md5(first));
    QCOMPARE(client->get(client->downloadUrl(path("v/doc.txt"))).body, second);
    const KTestApiClient::Answer older = client->call(space, {{"op", "kaskdownload"}, {"filepath", path("v/doc.txt")}, {"datahash", md5(first)}});
    QCOMPARE(client->get(older.data().toObject().value("url").toString()).body, first);
    // A new version of a file that does not exist is refused when iscreatefile is false.
    QCOMPARE(client->askUpload(path("v/none.txt"), first, false).code(), 20);
}

// kbatchdownload: every asked file gets its own entry, in the asked order,
// with its bytes or the code a single kaskdownload would have failed with.
void TestKDriveServerTransfer::batchDownloadAnswersEachFile()
{
    const QByteArray small = pattern(3000, 11), older = pattern(700, 12), newer = pattern(900, 13);
    const QByteArray big = pattern(256 * 1024 + 1, 14);
    QCOMPARE(client->upload(path("batch/small.bin"), small).code(), 0);
    QCOMPARE(client->upload(path("batch/doc.txt"), older).code(), 0);
    QCOMPARE(client->upload(path("batch/doc.txt"), newer, false).code(), 0);
    QCOMPARE(client->upload(path("batch/big.bin"), big).code(), 0);
    QCOMPARE(client->upload(path("batch/empty.txt"), QByteArray()).code(), 0);
    struct Row { QString path; QString hash; int code; QByteArray bytes; };
    const QList<Row> rows{{path("batch/small.bin"), QString(), 0, small},
                          {path("batch/doc.txt"), md5(older), 0, older},
                          {path("batch/doc.txt"), QString(), 0, newer},
                          {path("batch/empty.txt"), QString(), 0, QByteArray()},
                          {path("batch/none.txt"), QString(), 20, QByteArray()},
                          {path("batch"), QString(), 20, QByteArray()},
                          {path("batch/big.bin"), QString(), 42, QByteArray()},
                          {path("batch/../small.bin"), QString(), 14, QByteArray()},
                          {"@someone-else/x.txt", QString(), 13, QByteArray()}};
    QJsonArray asked;
    for (const Row& row : rows)
        asked.append(QJsonObject{{"filepath", row.path}, {"datahash", row.hash}});
    const auto batch = [&](const QJsonArray& files) {
        return client->call(space, {{"op", "kbatchdownload"}, {"files", QJsonDocument(files).toJson()}});
    };
    const KTestApiClient::Answer answer = batch(asked);
    QCOMPARE(answer.code(), 0);
    const QJsonArray files = answer.data().toObject().value("files").toArray();
    QCOMPARE(files.size(), rows.size());
    for (int i = 0; i < rows.size(); ++i) {
        const QJsonObject file = files.at(i).toObject();
        QCOMPARE(file.value("filepath").toString(), rows[i].path);
        QCOMPARE(file.value("code").toInt(), rows[i].code);
        QCOMPARE(QByteArray::fromBase64(file.value("content").toString().toLatin1()), rows[i].bytes);
        if (rows[i].code == 0)
            QCOMPARE(file.value("datahash").toString(), md5(rows[i].bytes));
    }
    QJsonArray tooMany;
    for (int i = 0; i < 65; ++i)
        tooMany.append(QJsonObject{{"filepath", path("batch/small.bin")}});
    QCOMPARE(batch(tooMany).code(), 2);
    QCOMPARE(batch(QJsonArray()).code(), 2);
}

void TestKDriveServerTransfer::emptyFileIsCommittable()
{
    const KTestApiClient::Answer asked = client->askUpload(path("empty.txt"), QByteArray());
    QCOMPARE(asked.code(), 0);
    QCOMPARE(asked.data().toObject().value("partnumber").toString(), QStringLiteral("0"));
    QCOMPARE(client->submit(path("empty.txt"), asked.data().toObject().value("uptoken").toString()).code(), 0);
    QVERIFY(server.files(space).contains("empty.txt"));
    QCOMPARE(server.files(space).value("empty.txt"), QByteArray());
    const KTestApiClient::Answer download = client->get(client->downloadUrl(path("empty.txt")));
    QCOMPARE(download.status, 200);
    QVERIFY(download.body.isEmpty());
}

void TestKDriveServerTransfer::resumeAfterADroppedPart()
{
    const QByteArray content = pattern(11 * 1024 * 1024, 7);
    const QString file = path("resume/r.bin");
    const QString token = client->askUpload(file, content).data().toObject().value("uptoken").toString();
    // Qt resends a request whose connection closed before any answer, so
    // the drop has to outlast its retries to be seen.
    QVERIFY(server.setFault({{"target", "part"}, {"action", "drop"}, {"afterBytes", 1000000}, {"partNumber", 2}, {"times", 10}}));
    QCOMPARE(client->sendPart(client->exchange(space, token, 1).data().toObject(), content.left(int(KTestApiClient::ChunkSize)), 0).code(), 0);
    const KTestApiClient::Answer dropped = client->sendPart(client->exchange(space, token, 2).data().toObject(),
                                                            content.mid(int(KTestApiClient::ChunkSize), int(KTestApiClient::ChunkSize)),
                                                            KTestApiClient::ChunkSize);
    QVERIFY(dropped.error != QNetworkReply::NoError);
    QVERIFY2(dropped.body.isEmpty(), dropped.body.constData());
    const QJsonArray parts = client->call(space, {{"op", "kqueryuploaded"}, {"uptoken", token}}).data().toArray();
    QCOMPARE(parts.size(), 1);
    const QJsonObject first = parts.at(0).toObject();
    QCOMPARE(first.value("partnumber").toInt(), 1);
    QCOMPARE(qint64(first.value("partsize").toDouble()), KTestApiClient::ChunkSize);
    QCOMPARE(first.value("uptoken").toString(), token);
    QCOMPARE(first.value("partmd5").toString(), md5(content.left(int(KTestApiClient::ChunkSize))));
    QCOMPARE(client->submit(file, token).code(), 31);
    QVERIFY(server.stats().value("part") >= 3);
    QVERIFY(server.clearFaults());
    for (int part = 2; part <= 3; ++part) {
        const qint64 offset = (part - 1) * KTestApiClient::ChunkSize;
        QCOMPARE(client->sendPart(client->exchange(space, token, part).data().toObject(),
                                  content.mid(int(offset), int(KTestApiClient::ChunkSize)), offset).code(), 0);
    }
    QCOMPARE(client->call(space, {{"op", "kqueryuploaded"}, {"uptoken", token}}).data().toArray().size(), 3);
    QCOMPARE(client->submit(file, token).code(), 0);
    QCOMPARE(server.fileContent(space, "resume/r.bin"), content);
    // Committed: the token has no parts left to resume.
    const KTestApiClient::Answer after = client->call(space, {{"op", "kqueryuploaded"}, {"uptoken", token}});
    QCOMPARE(after.code(), 30);
    QCOMPARE(after.data().toArray().size(), 0);
}

void TestKDriveServerTransfer::partsOfOneUploadArriveTogether()
{
    const qint64 chunk = KTestApiClient::ChunkSize;
    const QByteArray content = pattern(int(4 * chunk + 1000), 14);
    const QString file = path("together/t.bin");
    const QString token = client->askUpload(file, content).data().toObject().value("uptoken").toString();
    QList<QJsonObject> tickets;
    for (int part = 1; part <= 5; ++part)
        tickets.append(client->exchange(space, token, part).data().toObject());
    const auto bytesOf = [&](int part) { return content.mid(int((part - 1) * chunk), int(chunk)); };
    // Part 2 is held open half-sent on its own connection...
    const qint64 partsBefore = server.stats().value("part");
    const QUrl second(tickets[1].value("httpurl").toString());
    QTcpSocket held;
    held.connectToHost(second.host(), quint16(second.port()));
    QVERIFY(held.waitForConnected(10000));
    held.write("PUT " + second.path(QUrl::FullyEncoded).toLatin1() + '?' + second.query(QUrl::FullyEncoded).toLatin1()
               + " HTTP/1.1\r\nHost: x\r\nContent-Length: " + QByteArray::number(chunk) + "\r\n\r\n" + bytesOf(2).left(1 << 20));
    QVERIFY(held.waitForBytesWritten(10000));
    QVERIFY(server.waitForStat("part", partsBefore + 1));
    // ...while the others arrive, four at once on their own connections.
    QNetworkAccessManager manager;
    QList<QNetworkReply*> replies;
    for (int part : {1, 3, 4, 5})
        replies.append(manager.put(QNetworkRequest(QUrl(tickets[part - 1].value("httpurl").toString())), bytesOf(part)));
    for (QNetworkReply* reply : replies) {
        QTRY_VERIFY_WITH_TIMEOUT(reply->isFinished(), 30000);
        QCOMPARE(QJsonDocument::fromJson(reply->readAll()).object().value("code").toInt(-1), 0);
        delete reply;
    }
    // A second copy of the held part cannot write over it: it waits, then is refused.
    QCOMPARE(client->put(second.toString(), QByteArray(int(chunk), 'x')).code(), 41);
    QCOMPARE(client->submit(file, token).code(), 41); // nor a commit while it arrives
    held.write(bytesOf(2).mid(1 << 20));
    QByteArray answer;
    while (!answer.endsWith("}") && held.waitForReadyRead(10000))
        answer += held.readAll();
    QVERIFY2(answer.contains("\"code\":0"), answer.constData());
    QCOMPARE(client->submit(file, token).code(), 0);
    QCOMPARE(server.fileContent(space, "together/t.bin"), content);
}

// Both copies of a commit wait for a part still arriving; the one served
// second finds the upload already committed and answers as the first did.
void TestKDriveServerTransfer::commitSentTwiceWhileAPartArrives()
{
    const qint64 chunk = KTestApiClient::ChunkSize;
    const QByteArray content = pattern(int(chunk + 1000), 15);
    const QString file = path("twice/held.bin");
    const QString token = client->askUpload(file, content).data().toObject().value("uptoken").toString();
    QCOMPARE(client->sendPart(client->exchange(space, token, 1).data().toObject(), content.left(int(chunk)), 0).code(), 0);
    const QUrl second(client->exchange(space, token, 2).data().toObject().value("httpurl").toString());
    const qint64 partsBefore = server.stats().value("part");
    const qint64 commitsBefore = server.stats().value("ksubmitupload");
    QTcpSocket held;
    held.connectToHost(second.host(), quint16(second.port()));
    QVERIFY(held.waitForConnected(10000));
    held.write("PUT " + second.path(QUrl::FullyEncoded).toLatin1() + '?' + second.query(QUrl::FullyEncoded).toLatin1()
               + " HTTP/1.1\r\nHost: x\r\nContent-Length: 1000\r\n\r\n" + content.mid(int(chunk), 10));
    QVERIFY(held.waitForBytesWritten(10000) && server.waitForStat("part", partsBefore + 1));
    const auto commit = [&] {
        KTestApiClient own(server.baseUrl());
        return own.login(KTestServer::demoUser(), KTestServer::demoPassword()) ? own.submit(file, token).code() : -1;
    };
    std::future<int> first = std::async(std::launch::async, commit);
    std::future<int> again = std::async(std::launch::async, commit);
    QVERIFY(server.waitForStat("ksubmitupload", commitsBefore + 2));
    held.write(content.mid(int(chunk) + 10));
    QVERIFY(held.waitForBytesWritten(10000));
    QCOMPARE(first.get(), 0);
    QCOMPARE(again.get(), 0);
    QCOMPARE(server.fileContent(space, "twice/held.bin"), content);
    const QJsonArray versions = client->call(space, {{"op", "kgetnodes"}, {"paths", "[\"" + file + "\"]"}})
                                    .data().toArray().at(0).toObject().value("versions").toArray();
    QCOMPARE(versions.size(), 1);
}

void TestKDriveServerTransfer::partBodyEndsWhereItsLengthSays_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<QByteArray>("encoding");
    QTest::addColumn<bool>("multipart");
    QTest::newRow("large PUT") << 1536 * 1024 + 7 << QByteArray() << false;
    QTest::newRow("large multipart POST") << 1536 * 1024 + 7 << QByteArray() << true;
    QTest::newRow("PUT within the first read") << 1000 << QByteArray() << false;
    QTest::newRow("deflated PUT") << 1536 * 1024 + 7 << QByteArray("deflate") << false;
}

void TestKDriveServerTransfer::partBodyEndsWhereItsLengthSays()
{
    QFETCH(int, size);
    QFETCH(QByteArray, encoding);
    QFETCH(bool, multipart);
    const QByteArray content = pattern(size, int(qHash(QByteArray(QTest::currentDataTag()))));
    const QString file = path(QStringLiteral("framing/%1-%2-%3.bin").arg(size).arg(QString(encoding)).arg(multipart));
    const QString token = client->askUpload(file, content).data().toObject().value("uptoken").toString();
    const QUrl url(client->exchange(space, token, 1).data().toObject().value("httpurl").toString());
    const QByteArray boundary = "b0undary";
    QByteArray body = multipart ? KTestApiClient::multipartBody(boundary, content) : content;
    if (!encoding.isEmpty())
        body = qCompress(body).mid(4); // a zlib stream, as "deflate" means in HTTP
    QByteArray head = (multipart ? "POST " : "PUT ") + url.path(QUrl::FullyEncoded).toLatin1() + '?'
                      + url.query(QUrl::FullyEncoded).toLatin1() + " HTTP/1.1\r\nHost: x\r\nContent-Length: "
                      + QByteArray::number(body.size()) + "\r\n";
    head += multipart ? "Content-Type: multipart/form-data; boundary=" + boundary + "\r\n" : QByteArray();
    head += encoding.isEmpty() ? QByteArray() : "Content-Encoding: " + encoding + "\r\n";
    // The next request on the connection must be read as a request, not as
    // part of the body. A large plain body has it follow in the same write.
    // Otherwise it waits for the answer: the library's own reads may take it
    // in with the end of the body, and the library keeps nothing between
    // requests.
    const QByteArray next = "GET /nothing HTTP/1.1\r\nHost: x\r\n\r\n";
    const bool pipelined = body.size() > 65536 && encoding.isEmpty();
    QTcpSocket socket;
    socket.connectToHost(url.host(), quint16(url.port()));
    QVERIFY(socket.waitForConnected(10000));
    socket.write(head + "\r\n" + body + (pipelined ? next : QByteArray()));
    QByteArray answers;
    bool nextSent = pipelined;
    while (answers.count("\"code\":") < 2 && socket.waitForReadyRead(20000)) {
        answers += socket.readAll();
        if (!nextSent && answers.contains("\"code\":"))
            nextSent = socket.write(next) > 0;
    }
    QVERIFY2(answers.startsWith("HTTP/1.1 200") && answers.contains("\"code\":0"), answers.left(300).constData());
    QVERIFY2(answers.contains("HTTP/1.1 404"), answers.constData());
    QCOMPARE(client->submit(file, token).code(), 0);
    QCOMPARE(server.fileContent(space, file.section('/', 1)), content);
}

void TestKDriveServerTransfer::askReceivedTwiceIsOneUpload()
{
    // A copy of one signed request has its date and signature; any other request differs.
    const QByteArray content("asked twice");
    const QMap<QString, QString> ask{{"op", "kaskupload"}, {"filepath", path("twice/a.txt")}, {"filemd5", md5(content)},
                                     {"filesize", QString::number(content.size())}};
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const QString url = client->apiUrl(space);
    const QString token = client->callAt(url, ask, KTestApiClient::httpDate(now)).data()["uptoken"].toString();
    QCOMPARE(token.size(), 32);
    QCOMPARE(client->callAt(url, ask, KTestApiClient::httpDate(now)).data()["uptoken"].toString(), token);
    QVERIFY(client->callAt(url, ask, KTestApiClient::httpDate(now.addSecs(-1))).data()["uptoken"].toString() != token);
    // Once its upload has ended, the same request starts a new one.
    QCOMPARE(client->sendPart(client->exchange(space, token, 1).data().toObject(), content, 0).code(), 0);
    QCOMPARE(client->submit(path("twice/a.txt"), token).code(), 0);
    const QString after = client->callAt(url, ask, KTestApiClient::httpDate(now)).data()["uptoken"].toString();
    QVERIFY(after.size() == 32 && after != token);
}

void TestKDriveServerTransfer::commitRefusals()
{
    const QByteArray announced = pattern(4000, 8);
    const QString file = path("refused/wrong.bin");
    const QString token = client->askUpload(file, announced).data().toObject().value("uptoken").toString();
    QCOMPARE(client->submit(file, token).code(), 31); // nothing sent yet
    QCOMPARE(client->submit(path("refused/other.bin"), token).code(), 2);
    QByteArray other = announced;
    other[100] = char(other[100] ^ 1);
    QCOMPARE(client->sendPart(client->exchange(space, token, 1).data().toObject(), other, 0).code(), 0);
    const KTestApiClient::Answer mismatch = client->submit(file, token);
    QCOMPARE(mismatch.code(), 32);
    QVERIFY(!mismatch.data().toString().isEmpty());
    QVERIFY(!server.files(space).contains("refused/wrong.bin"));
    // The upload is dropped, so the client's part query starts afresh.
    const KTestApiClient::Answer query = client->call(space, {{"op", "kqueryuploaded"}, {"uptoken", token}});
    QCOMPARE(query.data().toArray().size(), 0);
    QCOMPARE(client->call(space, {{"op", "kqueryuploaded"}, {"uptoken", "0123456789abcdef0123456789abcdef"}}).code(), 30);
    QVERIFY(server.makeFolder(space, "refused/dir"));
    QCOMPARE(client->askUpload(path("refused/dir"), announced).code(), 21); // a folder has that path
    QCOMPARE(client->call(space, {{"op", "kaskupload"}, {"filepath", path("refused/x")}, {"filemd5", "xyz"}, {"filesize", "1"}}).code(), 2);
}

void TestKDriveServerTransfer::partRefusals()
{
    const QByteArray content = pattern(7 * 1024 * 1024, 9);
    const QString file = path("parts/p.bin");
    const QString token = client->askUpload(file, content).data().toObject().value("uptoken").toString();
    QCOMPARE(client->exchange(space, token, 3).code(), 2);
    QCOMPARE(client->exchange(space, token, 0).code(), 2);
    const QJsonObject second = client->exchange(space, token, 2).data().toObject();
    const QByteArray tail = content.mid(int(KTestApiClient::ChunkSize));
    // TROV-BYTES that does not start at the part's offset.
    const KTestApiClient::Answer misplaced = client->sendPart(second, tail, 0);
    QCOMPARE(misplaced.status, 400);
    // A short body and a long body are not stored.
    QCOMPARE(client->put(second.value("httpurl").toString(), tail.left(100)).code(), 31);
    const KTestApiClient::Answer tooLong = client->put(second.value("httpurl").toString(), tail + "extra");
    QVERIFY(tooLong.code() != 0);
    QCOMPARE(client->call(space, {{"op", "kqueryuploaded"}, {"uptoken", token}}).data().toArray().size(), 0);
    const KTestApiClient::Answer good = client->put(second.value("httpurl").toString(), tail);
    QVERIFY2(good.code() == 0, qPrintable(QString("%1 %2 %3").arg(good.status).arg(good.error).arg(QString(good.body))));
    QCOMPARE(client->call(space, {{"op", "kqueryuploaded"}, {"uptoken", token}}).data().toArray().size(), 1);
}

void TestKDriveServerTransfer::forgedAndExpiredAddressesRefused()
{
    QVERIFY(server.putFile(space, "links/l.bin", pattern(5000, 10)));
    QVERIFY(server.putFile(space, "links/other.bin", pattern(5001, 11)));
    const QString url = client->downloadUrl(path("links/l.bin"));
    const QString otherUrl = client->downloadUrl(path("links/other.bin"));
    QCOMPARE(client->get(url).status, 200);
    QString forgedSig = url;
    forgedSig.replace(forgedSig.size() - 1, 1, url.endsWith('0') ? "1" : "0");
    QString longer = url;
    longer.replace(QRegularExpression("expires=(\\d+)"), "expires=9999999999");
    QString swapped = otherUrl.section('?', 0, 0) + "?" + url.section('?', 1);
    for (const QString& forged : {forgedSig, longer, swapped, url.section('?', 0, 0)}) {
        const KTestApiClient::Answer answer = client->get(forged);
        QCOMPARE(answer.status, 403);
        QCOMPARE(answer.code(), 40);
    }
    const QString token = client->askUpload(path("links/up.bin"), "abc").data().toObject().value("uptoken").toString();
    const QString partUrl = client->exchange(space, token, 1).data().toObject().value("httpurl").toString();
    QString otherPart = partUrl;
    otherPart.replace("/1?", "/2?");
    QCOMPARE(client->put(otherPart, "abc").status, 403);
    // Two hours later both addresses have expired.
    QVERIFY(server.configure({{"linkClockOffset", 7200}}));
    const KTestApiClient::Answer expiredDownload = client->get(url);
    const KTestApiClient::Answer expiredPart = client->put(partUrl, "abc");
    QVERIFY(server.configure({{"linkClockOffset", 0}}));
    QCOMPARE(expiredDownload.status, 403);
    QCOMPARE(expiredPart.status, 403);
    QCOMPARE(client->put(partUrl, "abc").code(), 0);
}

void TestKDriveServerTransfer::restartKeepsEverythingByteForByte()
{
    QVERIFY(client->upload(path("keep/multi.bin"), pattern(6 * 1024 * 1024, 12)).code() == 0);
    QVERIFY(server.makeFolder(space, "keep/empty/inner"));
    const QMap<QString, QByteArray> filesBefore = server.files(space);
    const QStringList foldersBefore = server.folders(space);
    const QString oldUrl = client->downloadUrl(path("keep/multi.bin"));
    QVERIFY(filesBefore.size() >= 5);
    QVERIFY(server.restart());
    QCOMPARE(server.files(space), filesBefore);
    QCOMPARE(server.folders(space), foldersBefore);
    // The access key and handed-out addresses stay valid across the restart.
    KTestApiClient again(server.baseUrl());
    QVERIFY(again.login(KTestServer::demoUser(), KTestServer::demoPassword()));
    QCOMPARE(again.keyId(), client->keyId());
    QCOMPARE(again.secret(), client->secret());
    QString sameAddress = oldUrl;
    sameAddress.replace(QRegularExpression(":\\d+/"), ":" + QString::number(server.port()) + "/");
    QCOMPARE(again.get(sameAddress).body, filesBefore.value("keep/multi.bin"));
    QCOMPARE(again.upload(path("keep/after.txt"), "written after the restart").code(), 0);
    QCOMPARE(server.fileContent(space, "keep/after.txt"), QByteArray("written after the restart"));
}

void TestKDriveServerTransfer::tlsMode()
{
    KTestServer secure;
    QVERIFY(secure.startTls());
    QVERIFY(secure.baseUrl().startsWith("https://127.0.0.1:"));
    QCOMPARE(secure.protocol(), QStringLiteral("https://"));
    KTestApiClient tlsClient(secure.baseUrl());
    QVERIFY(tlsClient.login(KTestServer::demoUser(), KTestServer::demoPassword()));
    const QByteArray content = pattern(6 * 1024 * 1024 + 5, 13);
    QCOMPARE(tlsClient.upload("@home-demo/tls.bin", content).code(), 0);
    const QString url = tlsClient.downloadUrl("@home-demo/tls.bin");
    QVERIFY(url.startsWith("https://"));
    const KTestApiClient::Answer tail = tlsClient.get(url, "bytes=100-");
    QCOMPARE(tail.status, 206);
    QCOMPARE(tail.body, content.mid(100));
    // Plain HTTP to the TLS port gets no answer.
    KTestApiClient plain("http://" + secure.address());
    QVERIFY(!plain.login(KTestServer::demoUser(), KTestServer::demoPassword()));
    QVERIFY(secure.stop());
}

QTEST_GUILESS_MAIN(TestKDriveServerTransfer)
#include "tst_kdriveservertransfer.moc"
