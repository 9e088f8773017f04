#pragma once

#include <QStringList>

// The program's commands: serve (the default), add-user, add-space, help.
namespace KServerCli
{
// Runs the command line and returns the exit code. Signals that end the
// server must be blocked in the calling thread before it starts threads.
int run(const QStringList& args);
}
