#include "server/kmultipartreader.h"

#include <QtTest>

// The part bodies the client sends, cut into pieces at every position, and
// the ways a body can be malformed.
class TestKMultipartReader : public QObject
{
    Q_OBJECT

private slots:
    void boundaryFromHeader_data();
    void boundaryFromHeader();
    void clientBodyAtEverySplit();
    void lookalikesStayData_data();
    void lookalikesStayData();
    void choosesTheFileField();
    void preambleAndEpilogue();
    void malformedBodies_data();
    void malformedBodies();
    void sinkRefusalStops();

private:
    struct Result
    {
        bool ok = false;
        bool complete = false;
        bool found = false;
        QByteArray bytes;
    };
    static Result read(const QByteArray& boundary, const QByteArray& body, int pieceSize);
    static QByteArray clientBody(const QByteArray& boundary, const QByteArray& bytes);
};

const QByteArray kBoundary = "{0f8fad5b-d9cb-469f-a165-70867728950e}";

KMultipartReader::Sink sinkInto(QByteArray& out)
{
    return [&out](const char* data, size_t size) {
        out.append(data, int(size));
        return true;
    };
}

TestKMultipartReader::Result TestKMultipartReader::read(const QByteArray& boundary, const QByteArray& body, int pieceSize)
{
    KMultipartReader reader(boundary);
    Result result;
    result.ok = true;
    for (int at = 0; at < body.size() && result.ok; at += pieceSize)
        result.ok = reader.feed(body.constData() + at, size_t(qMin(pieceSize, body.size() - at)), sinkInto(result.bytes));
    result.complete = reader.complete();
    result.found = reader.foundField();
    return result;
}

// Byte for byte what the client posts for one part.
QByteArray TestKMultipartReader::clientBody(const QByteArray& boundary, const QByteArray& bytes)
{
    return "--" + boundary + "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"file\"\r\n"
           "Content-Type: application/octet-stream\r\n\r\n" + bytes + "\r\n--" + boundary + "--\r\n";
}

void TestKMultipartReader::boundaryFromHeader_data()
{
    QTest::addColumn<QString>("header");
    QTest::addColumn<QByteArray>("boundary");
    QTest::newRow("client form") << "multipart/form-data;boundary={abc-1}" << QByteArray("{abc-1}");
    QTest::newRow("space and quotes") << "multipart/form-data; boundary=\"a b\"" << QByteArray("a b");
    QTest::newRow("other parameters") << "Multipart/Form-Data; charset=x; boundary=zz" << QByteArray("zz");
    QTest::newRow("no boundary") << "multipart/form-data" << QByteArray();
    QTest::newRow("not multipart") << "application/octet-stream; boundary=x" << QByteArray();
}

void TestKMultipartReader::boundaryFromHeader()
{
    QFETCH(QString, header);
    QTEST(KMultipartReader::boundaryOf(header), "boundary");
}

void TestKMultipartReader::clientBodyAtEverySplit()
{
    QByteArray bytes(300, Qt::Uninitialized);
    for (int i = 0; i < bytes.size(); ++i)
        bytes[i] = char(i * 37);
    const QByteArray body = clientBody(kBoundary, bytes);
    for (int piece = 1; piece <= body.size(); ++piece) {
        const Result result = read(kBoundary, body, piece);
        QVERIFY2(result.ok && result.complete && result.found, qPrintable(QString::number(piece)));
        QCOMPARE(result.bytes, bytes);
    }
    const Result empty = read(kBoundary, clientBody(kBoundary, QByteArray()), 7);
    QVERIFY(empty.complete && empty.found);
    QVERIFY(empty.bytes.isEmpty());
}

void TestKMultipartReader::lookalikesStayData_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("delimiter without its last character") << "a\r\n--" + kBoundary.chopped(1) + "b";
    QTest::newRow("dashes and line ends") << QByteArray("\r\n--\r\n\r\n----\r\n-");
    QTest::newRow("ends like a delimiter start") << "x\r\n--" + kBoundary.left(12);
    QTest::newRow("boundary without the line end") << "--" + kBoundary + "--";
    QTest::newRow("only a line end") << QByteArray("\r\n");
}

void TestKMultipartReader::lookalikesStayData()
{
    QFETCH(QByteArray, bytes);
    const QByteArray body = clientBody(kBoundary, bytes);
    for (int piece : {1, 2, 3, 5, 41, 4096}) {
        const Result result = read(kBoundary, body, piece);
        QVERIFY(result.ok && result.complete);
        QCOMPARE(result.bytes, bytes);
    }
}

void TestKMultipartReader::choosesTheFileField()
{
    const QByteArray body = "--B\r\nContent-Disposition: form-data; name=\"token\"\r\n\r\nnot this\r\n"
                            "--B\r\nContent-Disposition: form-data; name=\"file\"; filename=\"file\"\r\n\r\nthis\r\n"
                            "--B\r\nContent-Disposition: form-data; name=\"file2\"; filename=\"other\"\r\n\r\nnor this\r\n"
                            "--B--\r\n";
    const Result result = read("B", body, 3);
    QVERIFY(result.ok && result.complete && result.found);
    QCOMPARE(result.bytes, QByteArray("this"));
    const Result byName = read("B", "--B\r\ncontent-disposition: form-data; name=file\r\n\r\nplain\r\n--B--", 4);
    QCOMPARE(byName.bytes, QByteArray("plain"));
    const Result none = read("B", "--B\r\nContent-Disposition: form-data; name=\"x\"\r\n\r\nx\r\n--B--\r\n", 4);
    QVERIFY(none.ok && none.complete && !none.found);
}

void TestKMultipartReader::preambleAndEpilogue()
{
    const QByteArray body = "preamble text\r\n" + clientBody("B", "data") + "epilogue --B\r\n";
    const Result result = read("B", body, 2);
    QVERIFY(result.ok && result.complete);
    QCOMPARE(result.bytes, QByteArray("data"));
}

void TestKMultipartReader::malformedBodies_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("ok");
    QTest::newRow("cut off in the data") << QByteArray("--B\r\nContent-Disposition: form-data; name=\"file\"\r\n\r\nhalf") << true;
    QTest::newRow("no delimiter at all") << QByteArray("just bytes") << true;
    QTest::newRow("garbage after a delimiter") << QByteArray("--Bxyz\r\n\r\ndata\r\n--B--") << false;
    QTest::newRow("endless headers") << (QByteArray("--B\r\n") + QByteArray(20000, 'h')) << false;
}

void TestKMultipartReader::malformedBodies()
{
    QFETCH(QByteArray, body);
    const Result result = read("B", body, 100);
    QTEST(result.ok, "ok");
    QVERIFY(!result.complete);
}

void TestKMultipartReader::sinkRefusalStops()
{
    KMultipartReader reader("B");
    const QByteArray body = clientBody("B", QByteArray(1000, 'x'));
    int calls = 0;
    const bool ok = reader.feed(body.constData(), size_t(body.size()), [&](const char*, size_t) {
        ++calls;
        return false;
    });
    QVERIFY(!ok);
    QCOMPARE(calls, 1);
    QVERIFY(!reader.feed("more", 4, [](const char*, size_t) { return true; }));
    QVERIFY(!KMultipartReader("").feed("--\r\n", 4, [](const char*, size_t) { return true; }));
}

QTEST_APPLESS_MAIN(TestKMultipartReader)
#include "tst_kmultipartreader.moc"
