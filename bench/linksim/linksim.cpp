// wexora-linksim: a TCP proxy that makes loopback behave like a real link,
// with a one-way delay and a shared rate limit per direction. Prints
// "listening HOST:PORT" on stdout once it accepts connections, and a line of
// counters on stderr on SIGUSR1 and when SIGTERM, SIGINT or SIGHUP ends it.
#include "klinkoptions.h"
#include "klinksimulator.h"

#include <csignal>
#include <cstdio>
#include <sys/prctl.h>
#include <sys/resource.h>

namespace
{
// Hundreds of connections take two descriptors each.
void raiseDescriptorLimit()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}
} // namespace

int main(int argc, char** argv)
{
    KLinkOptions options;
    const std::string wrong = KLinkOptions::parse(std::vector<std::string>(argv + 1, argv + argc), options);
    if (!wrong.empty()) {
        std::fprintf(stderr, "wexora-linksim: %s\n%s", wrong.c_str(), KLinkOptions::usage().c_str());
        return 2;
    }
    if (options.exitWithParent)
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    // Deliveries are timed to the microsecond; the default 50 us slack would blur them.
    ::prctl(PR_SET_TIMERSLACK, 1UL);
    raiseDescriptorLimit();
    KLinkSimulator simulator(options);
    const std::string failed = simulator.start();
    if (!failed.empty()) {
        std::fprintf(stderr, "wexora-linksim: %s\n", failed.c_str());
        return 1;
    }
    std::fprintf(stderr, "wexora-linksim: %s\n", options.describe().c_str());
    std::printf("listening %s:%d\n", options.listenHost.c_str(), simulator.port());
    std::fflush(stdout);
    simulator.run();
    std::fprintf(stderr, "wexora-linksim: %s\n", simulator.summary().c_str());
    return 0;
}
