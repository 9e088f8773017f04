#include "bridge/loginobj.h"

#include "app/klog.h"
#include "bridge/klogredact.h"

LoginObj::LoginObj(QObject* parent)
    : QObject(parent)
{
}

void LoginObj::JSSendMessage(QString op, QString param)
{
    KLog::info(op, KLogRedact::params(param));
    emit SigReceivedMessFromJS(op, param);
}
