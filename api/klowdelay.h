#pragma once

#include <QtGlobal>

class QNetworkReply;

// Qt's network access manager writes a request's headers and its form body
// with two separate send calls and leaves Nagle's algorithm on, so every small
// POST on a kept-alive connection waits for the server's delayed ACK (about
// 40 ms on Linux). The manager does not hand out its sockets, so the process's
// connect() is wrapped: a TCP connection opened by one of the managers' HTTP
// threads gets TCP_NODELAY before it connects, once, and nothing else is
// touched. Where the wrapper is not the one the process calls (another
// binary's own connect, a static link), the sockets are found among the
// process's descriptors when a reply ends instead: a socket looked at before
// costs one fstat, and only sockets connected to the reply's port are switched.
class KLowDelay
{
public:
    // Call right after the request is issued.
    static void follow(QNetworkReply* reply);
    // True once a connect() of this process went through the wrapper.
    static bool wrapsConnect();
    // Switches TCP_NODELAY on for sockets connected to `peerPort` that no
    // earlier call looked at; returns how many were switched.
    static int applyToNewSockets(quint16 peerPort);
};
