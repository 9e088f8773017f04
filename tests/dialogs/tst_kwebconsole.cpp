#include "dialogs/kwebconsole.h"
#include "kguitestmain.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QWebEnginePage>
#include <QWebEngineView>
#include <QtTest>

class TestKWebConsole : public QObject
{
    Q_OBJECT

private slots:
    void formAndViewSizes();
    void emptyAddressLeavesTheViewBlank();
    void fileAddressLoadsLeniently();
};

namespace {

QWebEngineView* viewOf(const KWebConsole& dialog)
{
    const QList<QWebEngineView*> views = dialog.findChildren<QWebEngineView*>();
    return views.size() == 1 ? views.first() : nullptr;
}

} // namespace

void TestKWebConsole::formAndViewSizes()
{
    KWebConsole dialog(nullptr, QString());
    QCOMPARE(dialog.objectName(), QString("KWebConsole"));
    QCOMPARE(dialog.size(), QSize(891, 547));
    QCOMPARE(dialog.windowTitle(), QString("Dialog"));
    QWebEngineView* view = viewOf(dialog);
    QVERIFY(view);
    QCOMPARE(view->parent(), &dialog);
    QCOMPARE(view->size(), QSize(891, 547));

    dialog.resize(1000, 700); // the view is sized once
    QCOMPARE(view->size(), QSize(891, 547));
}

void TestKWebConsole::emptyAddressLeavesTheViewBlank()
{
    KWebConsole dialog(nullptr, QString());
    QWebEngineView* view = viewOf(dialog);
    QVERIFY(view);
    QSignalSpy finished(view, &QWebEngineView::loadFinished);
    dialog.show();
    // The engine settles on its empty document.
    QVERIFY(finished.wait(10000));
    QVERIFY(view->page()->requestedUrl().isEmpty());
    QVERIFY(view->url().isEmpty() || view->url() == QUrl("about:blank"));
    QString text = "pending";
    view->page()->toPlainText([&](const QString& plain) { text = plain; });
    QTRY_COMPARE(text, QString(""));
}

void TestKWebConsole::fileAddressLoadsLeniently()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    // A space and Chinese in the path, unencoded, as a caller would pass it.
    const QString folder = dir.path() + "/web console";
    QVERIFY(QDir().mkpath(folder));
    QFile page(folder + "/页面.html");
    QVERIFY(page.open(QIODevice::WriteOnly));
    page.write("<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>console-ok</title></head><body>hi</body></html>");
    page.close();

    KWebConsole dialog(nullptr, "file://" + page.fileName());
    QWebEngineView* view = viewOf(dialog);
    QVERIFY(view);
    QSignalSpy finished(view, &QWebEngineView::loadFinished);
    dialog.show();
    QVERIFY(finished.wait(20000));
    QCOMPARE(finished.first().first().toBool(), true);
    QCOMPARE(view->title(), QString("console-ok"));
    QCOMPARE(view->url().toLocalFile(), page.fileName());
}

KGUI_TEST_MAIN(TestKWebConsole)
#include "tst_kwebconsole.moc"
