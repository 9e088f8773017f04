#include "app/kapprestart.h"

#include "app/kconstant.h"

#include <QCoreApplication>
#include <QProcess>

bool KAppRestart::restartIfAsked(int exitCode, const Starter& starter)
{
    if (exitCode != KConstant::RestartCode)
        return false;
    starter(QCoreApplication::applicationFilePath(), QStringList());
    return true;
}

bool KAppRestart::restartIfAsked(int exitCode)
{
    return restartIfAsked(exitCode, [](const QString& program, const QStringList& arguments) {
        return QProcess::startDetached(program, arguments);
    });
}
