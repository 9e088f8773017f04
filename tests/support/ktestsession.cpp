#include "ktestsession.h"

#include "ktestserver.h"
#include "login/ksession.h"

bool kLoginTestSession(const KTestServer& server)
{
    return kLoginTestSession(server, KTestServer::demoUser(), KTestServer::demoPassword());
}

bool kLoginTestSession(const KTestServer& server, const QString& user, const QString& password)
{
    const QString base = server.baseUrl();
    try {
        KSession::parseLoginResponse(base, KSession::sendLoginRequest(base + QStringLiteral("/klogin"), user, password));
    } catch (...) {
        return false;
    }
    return !WexoraBase::accessdata.accesskeyid.isEmpty() && !WexoraBase::accessdata.accesskeysecret.isEmpty();
}

void kClearTestSession()
{
    WexoraBase::accessdata = KAccessData();
    WexoraBase::baseServer.clear();
}
