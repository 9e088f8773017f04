#pragma once

#include <QDialog>
#include <QPoint>
#include <QString>

class QTreeWidgetItem;
class Ui_KSpaceTreeDialog;
struct KSpaceInfo;

// Lets the user choose a folder on the server: one tab per space of the
// signed-in user, each a tree fetched level by level as items are opened.
// Confirming reports the path of the item clicked last. Closing only hides
// the dialog, so trees and selection stay for the next showing.
class KSpaceTreeDialog : public QDialog
{
    Q_OBJECT

public:
    // Building the dialog already fetches the first two levels of every space.
    KSpaceTreeDialog(QWidget* parent, QString title, bool showFiles);
    ~KSpaceTreeDialog() override;

    // Fills an item one level deep with every child, files included, so a
    // folder with content shows an expand indicator before it is opened.
    void doExpanded(QTreeWidgetItem* item);
    // Removes every descendant of the item.
    void deleteAllNode(QTreeWidgetItem* item);

    static QString pathOf(const QTreeWidgetItem* item);

signals:
    void selectServerDir(QString dir);

public slots:
    void openNode(QTreeWidgetItem* item, int column);
    void doItemExpanded(QTreeWidgetItem* item);
    void doItemCollapsed(QTreeWidgetItem* item);
    void popMenu(QPoint pos);
    void doSaveServerDir();
    void closeDialog();

private:
    void addSpaceTab(const KSpaceInfo& space);
    static QTreeWidgetItem* addChild(QTreeWidgetItem* parent, const QString& path);

    QString selectedPath;
    bool showFiles;
    Ui_KSpaceTreeDialog* ui;
};
