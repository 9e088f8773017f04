#pragma once

#include <QString>
#include <QStringList>
#include <functional>

// After the event loop: a loop that ended with KConstant::RestartCode starts
// one new, detached copy of the program without arguments.
class KAppRestart
{
public:
    using Starter = std::function<bool(const QString& program, const QStringList& arguments)>;

    // Returns true when a restart was started (the starter's own result is not looked at).
    static bool restartIfAsked(int exitCode, const Starter& starter);
    static bool restartIfAsked(int exitCode);
};
