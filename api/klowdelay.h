#pragma once

#include <QtGlobal>

class QNetworkReply;

// Qt's network access manager writes a request's headers and its form body
// with two separate send calls and leaves Nagle's algorithm on, so every small
// POST on a kept-alive connection waits for the server's delayed ACK (about
// 40 ms on Linux). The manager does not hand out its sockets, so this finds
// them among the process's descriptors when a reply ends: a socket looked at
// before costs one fstat, and only sockets connected to the reply's port are
// switched, each once. Only the first request of a connection pays the delay.
class KLowDelay
{
public:
    // Call right after the request is issued.
    static void follow(QNetworkReply* reply);
    // Switches TCP_NODELAY on for sockets connected to `peerPort` that no
    // earlier call looked at; returns how many were switched.
    static int applyToNewSockets(quint16 peerPort);
};
