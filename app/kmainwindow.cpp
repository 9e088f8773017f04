#include "app/kmainwindow.h"

#include "main/kmain.h"

#include <QDebug>
#include <QEvent>

KMainWindow::KMainWindow(int& argc, char** argv)
    : QApplication(argc, argv)
{
}

bool KMainWindow::event(QEvent* event)
{
    qDebug() << "KMainWindow className" << event->type();
    // Also brings back a main window that was hidden to the tray.
    if (event->type() == QEvent::ApplicationActivate && KMain::KMainWindow)
        KMain::KMainWindow->showNormal();
    return QApplication::event(event);
}
