#pragma once

// Qt's network access manager writes a request's headers and its form body
// with two separate send calls and leaves Nagle's algorithm on, so every small
// POST on a kept-alive connection waits for the server's delayed ACK (about
// 40 ms on Linux). The manager does not hand out its sockets; this switches
// TCP_NODELAY on for every TCP socket of the process that lacks it, which is
// harmless for the others. Calling it after a reply covers the connection that
// reply opened, so only the first request of a connection pays the delay.
class KLowDelay
{
public:
    // Returns how many sockets were switched.
    static int applyToOpenSockets();
};
