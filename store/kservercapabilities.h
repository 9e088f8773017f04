#pragma once

#include <QString>

// What a server was found to take beyond the operations every server has,
// remembered per server address (table k_driver_server_caps): a server is
// asked once, and one that answered "unknown operation" is not asked again.
class KServerCapabilities
{
public:
    enum class Answer { Unknown, Yes, No };

    // Removing files and folders into the server's trash ("kremovenodes").
    static Answer removal(const QString& server);
    static void setRemoval(const QString& server, bool supported);

    static QString createStatement();
};
