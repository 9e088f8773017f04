#include "dialogs/kspacetreedialog.h"

#include "app/kfiletools.h"
#include "dialogs/kspacelisting.h"
#include "login/ksession.h"
#include "ui_kspacetreedialog.h"

#include <QDebug>
#include <QTreeWidget>

KSpaceTreeDialog::KSpaceTreeDialog(QWidget* parent, QString title, bool showFiles)
    : QDialog(parent)
    , showFiles(showFiles)
    , ui(new Ui_KSpaceTreeDialog)
{
    ui->setupUi(this);
    if (!title.isEmpty())
        setWindowTitle(title);
    for (const KSpaceInfo& space : WexoraBase::accessdata.spaces)
        addSpaceTab(space);
    qInfo() << QStringLiteral("KSpaceTreeDialog");
    connect(ui->okButton, &QPushButton::clicked, this, &KSpaceTreeDialog::doSaveServerDir);
    connect(ui->cancelButton, &QPushButton::clicked, this, &KSpaceTreeDialog::closeDialog);
}

KSpaceTreeDialog::~KSpaceTreeDialog()
{
    delete ui;
}

void KSpaceTreeDialog::addSpaceTab(const KSpaceInfo& space)
{
    auto* tree = new QTreeWidget(ui->spaceWidget);
    tree->setHeaderHidden(true);
    auto* root = new QTreeWidgetItem(tree);
    root->setText(0, space.spacename);
    root->setData(0, Qt::UserRole, space.spaceroot);
    connect(tree, &QTreeWidget::itemClicked, this, &KSpaceTreeDialog::openNode);
    connect(tree, &QTreeWidget::itemExpanded, this, &KSpaceTreeDialog::doItemExpanded);
    connect(tree, &QTreeWidget::itemCollapsed, this, &KSpaceTreeDialog::doItemCollapsed);
    ui->spaceWidget->addTab(tree, space.spacename);
    // Raises itemExpanded at once: the space's first two levels load now.
    tree->expandItem(root);
}

QString KSpaceTreeDialog::pathOf(const QTreeWidgetItem* item)
{
    return item->data(0, Qt::UserRole).toString();
}

QTreeWidgetItem* KSpaceTreeDialog::addChild(QTreeWidgetItem* parent, const QString& path)
{
    auto* child = new QTreeWidgetItem(parent);
    child->setText(0, KFileTools::fileName(path));
    child->setData(0, Qt::UserRole, path);
    return child;
}

void KSpaceTreeDialog::openNode(QTreeWidgetItem* item, int)
{
    selectedPath = pathOf(item);
}

void KSpaceTreeDialog::doItemExpanded(QTreeWidgetItem* item)
{
    // Every opening lists afresh, so the children are replaced, not doubled.
    deleteAllNode(item);
    const QList<KNodeInfo> nodes = KSpaceListing::children(pathOf(item));
    for (const KNodeInfo& node : KSpaceListing::shownChildren(nodes, showFiles)) {
        QTreeWidgetItem* child = addChild(item, node.path);
        if (!node.isfile)
            doExpanded(child);
    }
}

void KSpaceTreeDialog::doExpanded(QTreeWidgetItem* item)
{
    for (const KNodeInfo& node : KSpaceListing::children(pathOf(item)))
        addChild(item, node.path);
}

void KSpaceTreeDialog::deleteAllNode(QTreeWidgetItem* item)
{
    const int count = item->childCount();
    if (count == 0)
        return;
    qInfo() << (QStringLiteral("删除下面的item=") + pathOf(item));
    for (int i = 0; i < count; ++i) {
        deleteAllNode(item->child(0));
        delete item->takeChild(0);
    }
}

void KSpaceTreeDialog::doItemCollapsed(QTreeWidgetItem*)
{
    // Children stay until the next opening reloads them.
}

void KSpaceTreeDialog::popMenu(QPoint)
{
    qInfo() << QStringLiteral("监听到右键点击事件");
}

void KSpaceTreeDialog::doSaveServerDir()
{
    emit selectServerDir(selectedPath);
    close();
}

void KSpaceTreeDialog::closeDialog()
{
    close();
}
