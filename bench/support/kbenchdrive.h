#pragma once

#include "klinkprocess.h"
#include "ktestserver.h"

#include <QString>

// A fresh reference server behind a link simulator, with the client's
// session logged in through the link: every address the client uses, the
// server's absolute part and download addresses too, goes over the link.
// The admin calls of server() go straight to the server.
class KBenchDrive
{
public:
    bool start(const QString& preset);
    KTestServer& server() { return drive; }
    KLinkProcess& link() { return proxy; }
    // The server as the client sees it.
    QString baseUrl() const { return QStringLiteral("http://127.0.0.1:%1").arg(proxy.port()); }

private:
    bool login();

    KTestServer drive;
    KLinkProcess proxy;
};
