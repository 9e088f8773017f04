#include "kmeasuredrun.h"

#include <QElapsedTimer>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <string>
#include <vector>

extern char** environ;

KMeasuredRun KMeasuredRun::run(const QString& program, const QStringList& args)
{
    std::vector<std::string> words{program.toStdString()};
    for (const QString& arg : args)
        words.push_back(arg.toStdString());
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    KMeasuredRun result;
    QElapsedTimer timer;
    timer.start();
    pid_t pid = 0;
    const bool started = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    rusage usage{};
    if (!started || ::wait4(pid, &status, 0, &usage) != pid)
        return result;
    result.seconds = timer.nsecsElapsed() / 1e9;
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.cpuSeconds = usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    result.peakKiB = usage.ru_maxrss;
    return result;
}
