#pragma once

#include <QString>

class KTestServer;

// Logs the process-wide session in to a running test server the way the
// login window does (same request, same parser). True when the session holds
// access keys afterwards.
bool kLoginTestSession(const KTestServer& server);
bool kLoginTestSession(const KTestServer& server, const QString& user, const QString& password);
// Empties the session record and the server base again.
void kClearTestSession();
