#pragma once

namespace httplib
{
struct Request;
}

// Ends TCP connections behind the HTTP library's back. The library does not
// hand out a request's socket, so it is found among the process's
// descriptors by the connection's two ports.
namespace KConnectionDrop
{
// The socket a request arrived on, or -1.
int socketOf(const httplib::Request& request);
// Cuts the connection without an answer (the "drop" fault).
bool drop(const httplib::Request& request);
// Ends the connection once its answer is out: reading stops, so the library
// sees the end of the stream instead of waiting for another request.
bool stopReading(const httplib::Request& request);
// Stops reading on every connection accepted on `localPort`: idle kept-alive
// connections close at once and bodies being received end, while answers
// still go out. Returns how many connections it reached.
int closeAll(int localPort);
}
