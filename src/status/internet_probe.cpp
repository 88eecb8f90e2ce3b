#include "status/internet_probe.hpp"

#include "board.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace glowkeeper {

namespace {

constexpr time_t waitSeconds = 3;

// Closes the socket and passes the result through, so every path closes once.
int finish(int fd, int result) {
    close(fd);
    return result;
}

}  // namespace

int checkInternet() {
    // Non-blocking from the start: no fcntl round trip on every probe.
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }

    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(board::probePort);
    inet_pton(AF_INET, board::probeAddress, &address.sin_addr);

    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) >= 0) {
        return finish(fd, 1);
    }
    // select() cannot watch a descriptor past FD_SETSIZE; FD_SET would write
    // beyond the set.
    if (errno != EINPROGRESS || fd >= FD_SETSIZE) {
        return finish(fd, 0);
    }

    fd_set writeSet;
    FD_ZERO(&writeSet);
    FD_SET(fd, &writeSet);
    timeval timeout{waitSeconds, 0};
    if (select(fd + 1, nullptr, &writeSet, nullptr, &timeout) <= 0) {
        return finish(fd, 0);
    }

    int pendingError = 0;
    socklen_t length = sizeof(pendingError);
    // A failed query tells nothing about the connection: count it as not reachable.
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &pendingError, &length) != 0) {
        return finish(fd, 0);
    }
    return finish(fd, pendingError == 0 ? 1 : 0);
}

}  // namespace glowkeeper
