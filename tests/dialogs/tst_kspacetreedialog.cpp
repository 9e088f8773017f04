#include "dialogs/kspacetreedialog.h"
#include "login/ksession.h"

#include "kguitestmain.h"
#include "kpageprobe.h"
#include "ktestbasedir.h"
#include "ktestserver.h"
#include "ktestsession.h"

#include <QDir>
#include <QJsonObject>
#include <QPushButton>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTreeWidget>
#include <QtTest>

namespace {

QStringList childNames(const QTreeWidgetItem* item)
{
    QStringList names;
    for (int i = 0; i < item->childCount(); ++i)
        names << item->child(i)->text(0);
    return names;
}

QTreeWidgetItem* child(QTreeWidgetItem* parent, const QString& name)
{
    for (int i = 0; i < parent->childCount(); ++i) {
        if (parent->child(i)->text(0) == name)
            return parent->child(i);
    }
    return nullptr;
}

QTabWidget* tabsOf(const KSpaceTreeDialog& dialog)
{
    return dialog.findChild<QTabWidget*>("spaceWidget");
}

QTreeWidget* treeOf(const KSpaceTreeDialog& dialog, int tab)
{
    return qobject_cast<QTreeWidget*>(tabsOf(dialog)->widget(tab));
}

QTreeWidgetItem* rootOf(const KSpaceTreeDialog& dialog, int tab = 0)
{
    QTreeWidget* tree = treeOf(dialog, tab);
    return tree ? tree->topLevelItem(0) : nullptr;
}

// Opens an item the way a click on its indicator does, once more if it is open.
void reopen(QTreeWidgetItem* item)
{
    item->treeWidget()->collapseItem(item);
    item->treeWidget()->expandItem(item);
}

} // namespace

// The server folder picker against the reference drive server.
class TestKSpaceTreeDialog : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void twoLevelsLoadAtConstruction();
    void openingReplacesChildrenAndHidesFiles();
    void filesFollowFoldersWhenShown();
    void confirmReportsTheLastClickedPath();
    void failedListingLeavesTheItemEmpty_data();
    void failedListingLeavesTheItemEmpty();
    void noSpacesNoTabs();
    void screenshot();

private:
    qint64 listings() { return server.stats().value("klistdir"); }
    void click(QTreeWidgetItem* item);

    KTestServer server;
    KTestBaseDir base;
    QString personal;
    QString shared;
};

void TestKSpaceTreeDialog::initTestCase()
{
    QVERIFY(server.start());
    QVERIFY(kLoginTestSession(server));
    personal = KTestServer::demoPersonalSpace();
    shared = KTestServer::demoSharedSpace();
    for (const char* folder : {"a/a1/deep", "b", "c", "zeta"})
        QVERIFY(server.makeFolder(personal, folder));
    for (const char* file : {"a/f.txt", "b/x.txt", "top.txt", "zeta/z.txt"})
        QVERIFY(server.putFile(personal, file, "content"));
    QVERIFY(server.makeFolder(shared, "shared"));
    QCOMPARE(WexoraBase::accessdata.spaces.size(), 2);
    QCOMPARE(WexoraBase::accessdata.spaces[0].spaceroot, "@" + personal);
}

void TestKSpaceTreeDialog::init()
{
    QVERIFY(server.clearFaults()); // also zeroes the request counters
}

void TestKSpaceTreeDialog::click(QTreeWidgetItem* item)
{
    QTreeWidget* tree = item->treeWidget();
    tree->scrollToItem(item);
    QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, tree->visualItemRect(item).center());
}

void TestKSpaceTreeDialog::twoLevelsLoadAtConstruction()
{
    KSpaceTreeDialog dialog(nullptr, "选择文件夹", false);
    QCOMPARE(dialog.objectName(), QString("KSpaceTreeDialog"));
    QCOMPARE(dialog.size(), QSize(427, 380));
    QCOMPARE(dialog.windowTitle(), QString("选择文件夹"));
    QCOMPARE(dialog.findChild<QPushButton*>("okButton")->geometry(), QRect(200, 330, 75, 23));
    QCOMPARE(dialog.findChild<QPushButton*>("cancelButton")->text(), QString("取消"));
    QCOMPARE(tabsOf(dialog)->geometry(), QRect(10, 20, 411, 281));
    QCOMPARE(tabsOf(dialog)->count(), 2);
    QCOMPARE(tabsOf(dialog)->tabText(1), WexoraBase::accessdata.spaces[1].spacename);
    QVERIFY(treeOf(dialog, 0)->isHeaderHidden());

    QTreeWidgetItem* root = rootOf(dialog);
    QCOMPARE(root->text(0), WexoraBase::accessdata.spaces[0].spacename);
    QCOMPARE(KSpaceTreeDialog::pathOf(root), "@" + personal);
    QVERIFY(root->isExpanded());
    QCOMPARE(childNames(root), QStringList({"a", "b", "c", "zeta"}));
    QCOMPARE(KSpaceTreeDialog::pathOf(child(root, "zeta")), "@" + personal + "/zeta");
    // The second level is filled, files included, but not opened.
    QCOMPARE(childNames(child(root, "a")), QStringList({"a1", "f.txt"}));
    QCOMPARE(KSpaceTreeDialog::pathOf(child(child(root, "a"), "a1")), "@" + personal + "/a/a1");
    QVERIFY(!child(root, "a")->isExpanded());
    QCOMPARE(childNames(child(root, "b")), QStringList({"x.txt"}));
    QCOMPARE(child(root, "c")->childCount(), 0);
    QCOMPARE(child(child(root, "a"), "a1")->childCount(), 0);
    QCOMPARE(childNames(rootOf(dialog, 1)), QStringList({"shared"}));
    // Per space: the root, then each of its folders.
    QCOMPARE(listings(), qint64((1 + 4) + (1 + 1)));
}

void TestKSpaceTreeDialog::openingReplacesChildrenAndHidesFiles()
{
    KSpaceTreeDialog dialog(nullptr, QString(), false);
    QCOMPARE(dialog.windowTitle(), QString("Dialog"));
    QTreeWidgetItem* a = child(rootOf(dialog), "a");
    const qint64 before = listings();
    treeOf(dialog, 0)->expandItem(a);
    QCOMPARE(childNames(a), QStringList({"a1"}));
    QCOMPARE(childNames(child(a, "a1")), QStringList({"deep"}));
    QCOMPARE(listings(), before + 2);

    reopen(a);
    reopen(a);
    QCOMPARE(childNames(a), QStringList({"a1"}));
    QCOMPARE(childNames(child(a, "a1")), QStringList({"deep"}));

    // Its fill showed a file; opened with files hidden it shows nothing.
    QTreeWidgetItem* b = child(rootOf(dialog), "b");
    QCOMPARE(b->childCount(), 1);
    treeOf(dialog, 0)->expandItem(b);
    QCOMPARE(b->childCount(), 0);
}

void TestKSpaceTreeDialog::filesFollowFoldersWhenShown()
{
    KSpaceTreeDialog dialog(nullptr, "选择文件", true);
    QTreeWidgetItem* root = rootOf(dialog);
    // The server answers a, b, c, top.txt, zeta.
    QCOMPARE(childNames(root), QStringList({"a", "b", "c", "zeta", "top.txt"}));
    QCOMPARE(KSpaceTreeDialog::pathOf(child(root, "top.txt")), "@" + personal + "/top.txt");
    QCOMPARE(child(root, "top.txt")->childCount(), 0);
    treeOf(dialog, 0)->expandItem(child(root, "a"));
    QCOMPARE(childNames(child(root, "a")), QStringList({"a1", "f.txt"}));
}

void TestKSpaceTreeDialog::confirmReportsTheLastClickedPath()
{
    KSpaceTreeDialog dialog(nullptr, "选择文件夹", false);
    QSignalSpy chosen(&dialog, &KSpaceTreeDialog::selectServerDir);
    auto* ok = dialog.findChild<QPushButton*>("okButton");
    auto* cancel = dialog.findChild<QPushButton*>("cancelButton");

    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QTest::mouseClick(ok, Qt::LeftButton);
    QCOMPARE(chosen.count(), 1);
    QCOMPARE(chosen.takeFirst().first().toString(), QString());
    QVERIFY(!dialog.isVisible());

    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    click(child(rootOf(dialog), "b"));
    click(child(rootOf(dialog), "zeta"));
    QTest::mouseClick(cancel, Qt::LeftButton);
    QVERIFY(!dialog.isVisible());
    QCOMPARE(chosen.count(), 0);

    // Trees and the selection survive hiding.
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QCOMPARE(childNames(rootOf(dialog)), QStringList({"a", "b", "c", "zeta"}));
    QTest::mouseClick(ok, Qt::LeftButton);
    QCOMPARE(chosen.count(), 1);
    QCOMPARE(chosen.takeFirst().first().toString(), "@" + personal + "/zeta");
}

void TestKSpaceTreeDialog::failedListingLeavesTheItemEmpty_data()
{
    QTest::addColumn<QString>("action");
    QTest::newRow("error page") << "html";
    QTest::newRow("empty body") << "empty";
}

void TestKSpaceTreeDialog::failedListingLeavesTheItemEmpty()
{
    QFETCH(QString, action);
    KSpaceTreeDialog dialog(nullptr, "选择文件夹", false);
    QTreeWidgetItem* a = child(rootOf(dialog), "a");
    QCOMPARE(a->childCount(), 2);

    QVERIFY(server.setFault({{"target", "klistdir"}, {"action", action}, {"times", 0}}));
    treeOf(dialog, 0)->expandItem(a);
    QCOMPARE(a->childCount(), 0);
    QVERIFY(listings() > 0);

    // Built while the server fails: roots without children, and the dialog works.
    KSpaceTreeDialog failing(nullptr, "选择文件夹", false);
    QCOMPARE(tabsOf(failing)->count(), 2);
    QCOMPARE(rootOf(failing)->childCount(), 0);
    QSignalSpy chosen(&failing, &KSpaceTreeDialog::selectServerDir);
    failing.show();
    QTest::mouseClick(failing.findChild<QPushButton*>("okButton"), Qt::LeftButton);
    QCOMPARE(chosen.count(), 1);

    QVERIFY(server.clearFaults());
    reopen(a);
    QCOMPARE(childNames(a), QStringList({"a1"}));
    reopen(rootOf(failing));
    QCOMPARE(childNames(rootOf(failing)), QStringList({"a", "b", "c", "zeta"}));
}

void TestKSpaceTreeDialog::noSpacesNoTabs()
{
    const QList<KSpaceInfo> spaces = WexoraBase::accessdata.spaces;
    WexoraBase::accessdata.spaces.clear();
    KSpaceTreeDialog dialog(nullptr, "选择文件夹", false);
    WexoraBase::accessdata.spaces = spaces;
    QCOMPARE(tabsOf(dialog)->count(), 0);
    QCOMPARE(listings(), 0);
    QSignalSpy chosen(&dialog, &KSpaceTreeDialog::selectServerDir);
    dialog.doSaveServerDir();
    QCOMPARE(chosen.count(), 1);
    QCOMPARE(chosen.first().first().toString(), QString());
}

void TestKSpaceTreeDialog::screenshot()
{
    KSpaceTreeDialog dialog(nullptr, "选择文件夹", true);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QTreeWidgetItem* a = child(rootOf(dialog), "a");
    treeOf(dialog, 0)->expandItem(a);
    treeOf(dialog, 0)->expandItem(child(a, "a1"));
    click(child(a, "a1"));
    QVERIFY(QDir().mkpath(KPageProbe::screenshotDir()));
    QVERIFY(dialog.grab().save(KPageProbe::screenshotDir() + "/space_tree_dialog.png"));
}

KGUI_TEST_MAIN(TestKSpaceTreeDialog)
#include "tst_kspacetreedialog.moc"
