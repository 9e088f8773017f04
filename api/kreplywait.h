#pragma once

#include <QEventLoop>

class QNetworkReply;

// Waits in a local event loop until a reply has finished. On a background
// thread that is asked to stop, the request is aborted: a thread never keeps
// the program from closing while it waits for a slow server.
class KReplyWait
{
public:
    static void wait(QNetworkReply* reply, QEventLoop::ProcessEventsFlags flags = QEventLoop::AllEvents);

    // How often a waiting thread looks for a stop request.
    static const int StopCheckMs = 100;
};
