#include "cli/kcliapp.h"
#include "cli/kclioptions.h"

#include <QCoreApplication>

// wexora-sync: the sync engine without a window (see KCliOptions::usage).
int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("wexora-sync"));
    return KCliApp(KCliOptions::parse(QCoreApplication::arguments())).exec();
}
