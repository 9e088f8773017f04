#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One direction of the simulated link.
struct KLinkDirection
{
    int64_t delayNs = 0;        // one-way propagation delay
    double bitsPerSecond = 0;   // shared bottleneck rate; 0 = unlimited
    int64_t queueBytes = 0;     // bottleneck queue; 0 = one round trip of the rate (at least 64 KiB)
};

// What wexora-linksim is told on its command line.
struct KLinkOptions
{
    std::string listenHost = "127.0.0.1";
    int listenPort = 0;
    std::string targetHost;
    int targetPort = 0;
    KLinkDirection up;          // from the connecting side to the target
    KLinkDirection down;        // from the target back
    double connBitsPerSecond = 0; // per connection and direction; 0 = none
    int64_t windowBytes = 4 << 20; // most bytes one direction of a connection holds
    bool handshake = true;      // a new connection costs one round trip before data flows
    bool exitWithParent = false;

    // Fills in the derived queue sizes; call after parsing.
    void finish();
    // "up 10 ms 100 Mbit/s queue 250000 B, down ..." for the start line.
    std::string describe() const;

    // Parses the arguments after the program name; returns "" or what is wrong.
    static std::string parse(const std::vector<std::string>& args, KLinkOptions& options);
    static std::string usage();
};
