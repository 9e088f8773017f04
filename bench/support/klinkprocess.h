#pragma once

#include <QProcess>
#include <QString>

// wexora-linksim in front of a local port, for one benchmark run. The
// preset "direct" starts nothing: the port is the target's own.
class KLinkProcess
{
public:
    // Bytes and connections that went through the link.
    struct Counters
    {
        qint64 connections = -1; // -1: no proxy, nothing counted
        qint64 up = 0;
        qint64 down = 0;
        Counters since(const Counters& before) const;
    };

    KLinkProcess() = default;
    ~KLinkProcess();
    KLinkProcess(const KLinkProcess&) = delete;
    KLinkProcess& operator=(const KLinkProcess&) = delete;

    // listenPort 0: any free port.
    bool start(const QString& preset, int targetPort, int listenPort = 0);
    void stop();
    int port() const { return listenPort; }
    // What the proxy has carried so far (it prints its counters on SIGUSR1).
    Counters counters();

    static QString program();
    // A port nothing listens on at the moment of asking.
    static int freePort();

private:
    bool readListening();

    QProcess process;
    int listenPort = 0;
};
