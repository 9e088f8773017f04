#include "dialogs/kwebconsole.h"

#include "ui_kwebconsole.h"

#include <QUrl>
#include <QWebEngineView>

KWebConsole::KWebConsole(QWidget* parent, QString url)
    : QDialog(parent)
    , ui(new Ui_KWebConsole)
{
    ui->setupUi(this);
    // Sized once to the form; the view does not follow later resizes.
    auto* view = new QWebEngineView(this);
    view->resize(size());
    view->load(QUrl(url, QUrl::TolerantMode));
}

KWebConsole::~KWebConsole()
{
    delete ui;
}
