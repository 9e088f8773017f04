#include "bridge/mainobj.h"

MainObj::MainObj(QObject* parent)
    : QObject(parent)
{
}

void MainObj::JSSendMessage(QString op, QString param)
{
    emit SigReceivedMessFromJS(op, param);
}
