#include "app/kconstant.h"

const int KConstant::RestartCode = 888;
const int KConstant::BUFF_SIZE = 4096;
qint64 KConstant::SYNC_TIME = 0;
std::atomic_bool KConstant::IsDownloading{false};
KErrorMap KConstant::ErrorMap;

const QString KDatabase::DataBaseName = QStringLiteral("wexoradriver");
