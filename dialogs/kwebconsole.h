#pragma once

#include <QDialog>
#include <QString>

class Ui_KWebConsole;

// A plain dialog showing one web address; no bridge object is published to it.
class KWebConsole : public QDialog
{
    Q_OBJECT

public:
    KWebConsole(QWidget* parent, QString url);
    ~KWebConsole() override;

private:
    Ui_KWebConsole* ui;
};
