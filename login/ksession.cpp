#include "login/ksession.h"

QString KLoginControl::WexoraTitle = QStringLiteral("Wexora云盘");
QString WexoraBase::baseServer;
KAccessData WexoraBase::accessdata;
