#pragma once

namespace httplib
{
struct Request;
}

// Cuts the TCP connection a request arrived on, without an answer, for the
// "drop" fault. The HTTP library does not hand out the socket, so it is found
// among the process's descriptors by the connection's two ports.
namespace KConnectionDrop
{
bool drop(const httplib::Request& request);
}
