#include "client/link.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "wire/wire.h"

namespace crate_link {

constexpr unsigned char MARKER[3] = {'Q', 'B', 'L'};
enum LinkState : unsigned char { PREPARED = 1, OPEN = 2, LOST = 3 };
constexpr int CONNECT_TIMEOUT_MS = 3000;
constexpr int IO_TIMEOUT_S = 5;

static bool prepared(const unsigned char *state) {
    return memcmp(state, MARKER, sizeof MARKER) == 0 && state[3] >= PREPARED && state[3] <= LOST;
}

static int socket_of(const unsigned char *state) {
    int fd;
    memcpy(&fd, state + 4, sizeof fd);
    return fd;
}

static void set_link(unsigned char *state, LinkState link_state, int fd) {
    memcpy(state, MARKER, sizeof MARKER);
    state[3] = link_state;
    memcpy(state + 4, &fd, sizeof fd);
}

void reset(unsigned char state[STATE_BYTES]) {
    memset(state, 0, STATE_BYTES);
    set_link(state, PREPARED, -1);
}

void drop(unsigned char state[STATE_BYTES]) {
    if (prepared(state) && socket_of(state) >= 0) ::close(socket_of(state));
    reset(state);
}

// QBXD_ENDPOINT ("127.0.0.1:40123") lets tests run servers side by side.
static int endpoint(uint32_t *addr, uint16_t *port) {
    const char *text = getenv("QBXD_ENDPOINT");
    if (text == nullptr || text[0] == '\0') return wire::E_OK;
    const char *colon = strrchr(text, ':');
    if (colon == nullptr || colon - text >= 16) return wire::E_BAD_ARGUMENT;
    char host[16] = {};
    memcpy(host, text, static_cast<size_t>(colon - text));
    in_addr parsed = {};
    char *end = nullptr;
    const long number = strtol(colon + 1, &end, 10);
    if (inet_pton(AF_INET, host, &parsed) != 1 || *end != '\0' || number < 1 || number > 65535)
        return wire::E_BAD_ARGUMENT;
    *addr = ntohl(parsed.s_addr);
    *port = static_cast<uint16_t>(number);
    return wire::E_OK;
}

static int connect_with_timeout(int fd, const sockaddr_in &peer) {
    const int flags = fcntl(fd, F_GETFL);
    fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    int rc = ::connect(fd, reinterpret_cast<const sockaddr *>(&peer), sizeof peer);
    if (rc != 0 && errno == EINPROGRESS) {
        pollfd waiting = {fd, POLLOUT, 0};
        do rc = poll(&waiting, 1, CONNECT_TIMEOUT_MS);
        while (rc < 0 && errno == EINTR);
        int error = rc == 1 ? 0 : ETIMEDOUT;
        socklen_t size = sizeof error;
        if (rc == 1) getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size);
        rc = error == 0 ? 0 : -1;
    }
    fcntl(fd, F_SETFL, flags);
    return rc;
}

int connect(unsigned char state[STATE_BYTES], uint32_t addr, uint16_t port, uint32_t *reached_addr,
            uint16_t *reached_port) {
    if (!prepared(state)) return wire::E_NOT_OPEN;
    drop(state);
    int rc = endpoint(&addr, &port);
    if (rc != wire::E_OK) return rc;

    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return wire::E_CONNECT;
    sockaddr_in peer = {};
    peer.sin_family = AF_INET;
    peer.sin_addr.s_addr = htonl(addr);
    peer.sin_port = htons(port);
    if (connect_with_timeout(fd, peer) != 0) {
        ::close(fd);
        return wire::E_CONNECT;
    }
    const timeval timeout = {IO_TIMEOUT_S, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    set_link(state, OPEN, fd);
    *reached_addr = addr;
    *reached_port = port;
    return wire::E_OK;
}

static int lose(unsigned char *state, int rc) {
    ::close(socket_of(state));
    set_link(state, LOST, -1);
    return rc;
}

int call(unsigned char state[STATE_BYTES], uint16_t op, const void *part1, uint32_t length1,
         const void *part2, uint32_t length2, void *reply, uint32_t reply_length) {
    if (!prepared(state)) return wire::E_NOT_OPEN;
    if (state[3] == LOST) return wire::E_CONNECTION_LOST;
    if (state[3] != OPEN) return wire::E_NOT_OPEN;
    const int fd = socket_of(state);

    unsigned char header[wire::HEADER_SIZE];
    wire::encode_header({op, 0, length1 + length2}, header);
    int rc = wire::send_parts(fd, header, sizeof header, part1, length1, part2, length2);
    if (rc == wire::E_OK) rc = wire::recv_exact(fd, header, sizeof header);
    if (rc != wire::E_OK) return lose(state, rc);

    wire::Header answer;
    if (wire::decode_header(header, &answer) != wire::E_OK || answer.op != op)
        return lose(state, wire::E_PROTOCOL);
    if (answer.status != wire::E_OK) {
        // An error reply carries no payload.
        return answer.length == 0 ? answer.status : lose(state, wire::E_PROTOCOL);
    }
    if (answer.length != reply_length) return lose(state, wire::E_PROTOCOL);
    rc = wire::recv_exact(fd, reply, reply_length);
    return rc == wire::E_OK ? wire::E_OK : lose(state, rc);
}

int close(unsigned char state[STATE_BYTES]) {
    if (!prepared(state) || state[3] == PREPARED) return wire::E_NOT_OPEN;
    int rc = wire::E_CONNECTION_LOST;
    if (state[3] == OPEN) rc = call(state, wire::OP_CLOSE, nullptr, 0, nullptr, 0, nullptr, 0);
    drop(state);
    return rc;
}

}  // namespace crate_link
