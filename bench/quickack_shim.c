/* Diagnostic only (bench/upload_bench.sh --server-quickack): arms
 * TCP_QUICKACK before every recv() of the process it is preloaded into.
 *
 * Qt 5's HTTP client leaves Nagle's algorithm on and writes a request's
 * header and body in two writes from two threads. The body then waits for
 * the server's ACK of the header, which a server that has nothing to send
 * delays by about 40 ms: every request with a body costs 40 ms on a
 * kept-alive connection. A server that acknowledges at once (TCP_QUICKACK
 * before reading a body) removes the wait; this shim shows what that is
 * worth without touching the server. The client reads with read(), so only
 * the server's recv() calls are affected. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/types.h>

typedef ssize_t (*recv_fn)(int, void*, size_t, int);

ssize_t recv(int fd, void* buffer, size_t size, int flags)
{
    static recv_fn real;
    if (!real)
        real = (recv_fn)dlsym(RTLD_NEXT, "recv");
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
    return real(fd, buffer, size, flags);
}
