#include "kmeasuredrun.h"

#include <QElapsedTimer>
#include <QFile>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace
{
constexpr auto PeakPoll = std::chrono::milliseconds(10);

qint64 peakOf(const QString& statusPath)
{
    QFile status(statusPath);
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return 0;
}

// The kernel's ru_maxrss of a child counts the parent's memory it was
// started from, so the child's own high-water mark is read from /proc
// while it runs (it only grows; the last read is at most one poll old).
class PeakWatch
{
public:
    explicit PeakWatch(pid_t pid)
        : path(QStringLiteral("/proc/%1/status").arg(pid)),
          poller([this] {
              while (!stopped) {
                  peak = std::max<qint64>(peak, peakOf(path));
                  std::this_thread::sleep_for(PeakPoll);
              }
          })
    {
    }

    // Call while the child is a zombie at the latest: its pid is still its own.
    qint64 stop()
    {
        stopped = true;
        poller.join();
        return peak;
    }

private:
    const QString path;
    std::atomic_bool stopped{false};
    std::atomic<qint64> peak{0};
    std::thread poller;
};

std::vector<std::string> words(const QString& program, const QStringList& args)
{
    std::vector<std::string> all{program.toStdString()};
    for (const QString& arg : args)
        all.push_back(arg.toStdString());
    return all;
}
} // namespace

KMeasuredRun KMeasuredRun::run(const QString& program, const QStringList& args)
{
    std::vector<std::string> text = words(program, args);
    std::vector<char*> argv;
    for (std::string& word : text)
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
    if (!started)
        return result;
    PeakWatch watch(pid);
    siginfo_t ended{};
    ::waitid(P_PID, id_t(pid), &ended, WEXITED | WNOWAIT);
    result.seconds = timer.nsecsElapsed() / 1e9;
    result.peakKiB = watch.stop();
    int status = 0;
    rusage usage{};
    if (::wait4(pid, &status, 0, &usage) != pid)
        return result;
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.cpuSeconds = usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    return result;
}
