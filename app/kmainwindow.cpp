#include "app/kmainwindow.h"

#include <QDebug>
#include <QEvent>

KMainWindow::KMainWindow(int& argc, char** argv)
    : QApplication(argc, argv)
{
}

bool KMainWindow::event(QEvent* event)
{
    qDebug() << "KMainWindow className" << event->type();
    return QApplication::event(event);
}
