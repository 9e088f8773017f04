#include "kbenchdrive.h"

#include "login/ksession.h"

bool KBenchDrive::start(const QString& preset)
{
    if (preset == QLatin1String("direct"))
        return drive.start() && proxy.start(preset, drive.port()) && login();
    // The server must name the proxy's address before the proxy knows the
    // server's port, so the proxy's port is chosen first.
    const int port = KLinkProcess::freePort();
    return drive.start({QStringLiteral("--public-url"), QStringLiteral("http://127.0.0.1:%1").arg(port)})
           && proxy.start(preset, drive.port(), port) && login();
}

bool KBenchDrive::login()
{
    try {
        const QString answer = KSession::sendLoginRequest(baseUrl() + QStringLiteral("/klogin"), KTestServer::demoUser(),
                                                          KTestServer::demoPassword());
        KSession::parseLoginResponse(baseUrl(), answer);
    } catch (...) {
        return false;
    }
    return !WexoraBase::accessdata.accesskeyid.isEmpty();
}
