#pragma once

#include <QtGlobal>

#include <functional>

namespace httplib
{
struct Request;
class ContentReader;
}

// Reads a request body for a handler that stores it. cpp-httplib reads a
// body 4 KiB at a time with a poll before every read, which costs more CPU
// than storing the bytes. So once the library has handed out its first
// chunk, the rest comes straight from the TCP socket in 1 MiB reads. That
// is safe because the library's own read buffer is empty by then unless the
// body is already complete: reads of its chunk size bypass the buffer, and a
// smaller read only keeps bytes beyond the body (see CPPHTTPLIB_RECV_BUFSIZ).
class KSocketBody
{
public:
    using Consumer = std::function<bool(const char* data, size_t size)>;
    static constexpr qint64 ReadBytes = 1 << 20;

    // Hands the whole body to `consume`; false when the body broke off, went
    // quiet for `timeoutSeconds` or `consume` refused bytes. `fromSocket`
    // false (TLS), a body without a length or a compressed one leaves all
    // reading to the library. A stop that shuts the socket's reading down
    // ends a blocked read at once.
    static bool read(const httplib::Request& request, const httplib::ContentReader& reader, bool fromSocket,
                     int timeoutSeconds, const Consumer& consume);

private:
    static bool readRest(int socket, qint64 left, int timeoutSeconds, const Consumer& consume);
};
