// qbxd-sim: a simulated crate server for rehearsing and testing qbxmodflash without
// hardware. Serves the crate system of a JSON file on 127.0.0.1.
//   qbxd-sim [--port N] [--state DIR] [--log FILE] CONFIG.json
// --port 0 picks a free port and prints it as the first line of standard output.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <set>
#include <string>
#include <system_error>
#include <thread>

#include "server/crate_model.h"
#include "server/requests.h"
#include "wire/wire.h"

namespace {

int stop_pipe[2] = {-1, -1};

void on_stop_signal(int) {
    const char byte = 0;
    ssize_t ignored = write(stop_pipe[1], &byte, 1);
    (void)ignored;
}

struct Server {
    CrateSystem system;
    FILE *log = nullptr;
    std::mutex log_lock;
    // Open connections, so that a stop can end them, and a count to wait for.
    std::mutex connections_lock;
    std::condition_variable connections_done;
    std::set<int> sockets;
    int next_id = 1;
};

void log_request(Server &server, int id, uint16_t op, const RequestNote &note, int rc) {
    if (server.log == nullptr) return;
    std::lock_guard<std::mutex> guard(server.log_lock);
    fprintf(server.log, "conn=%d op=%s crate=%s slot=%d words=%u addr=%u rc=%d\n", id,
            wire::op_name(op), note.crate.empty() ? "-" : note.crate.c_str(), note.slot, note.words,
            note.start_word, rc);
    fflush(server.log);
}

void serve_connection(Server &server, int fd, int id) {
    Connection connection;
    std::vector<unsigned char> payload(wire::MAX_PAYLOAD);
    std::vector<unsigned char> reply;
    reply.reserve(wire::MAX_PAYLOAD);
    for (;;) {
        unsigned char header_bytes[wire::HEADER_SIZE];
        if (wire::recv_exact(fd, header_bytes, sizeof header_bytes) != wire::E_OK) break;
        wire::Header request;
        if (wire::decode_header(header_bytes, &request) != wire::E_OK) {
            // An oversized frame cannot be skipped safely: refuse it and hang up.
            unsigned char refusal[wire::HEADER_SIZE];
            wire::encode_header({request.op, wire::E_PROTOCOL, 0}, refusal);
            wire::send_parts(fd, refusal, sizeof refusal, nullptr, 0, nullptr, 0);
            log_request(server, id, request.op, RequestNote{}, wire::E_PROTOCOL);
            break;
        }
        if (wire::recv_exact(fd, payload.data(), request.length) != wire::E_OK) break;

        RequestNote note;
        int rc;
        {
            std::lock_guard<std::mutex> guard(server.system.lock);
            rc = serve_request(server.system, connection, request.op, payload.data(),
                               request.length, reply, note);
        }
        log_request(server, id, request.op, note, rc);
        if (note.delay_ms > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(note.delay_ms));
        if (rc != wire::E_OK) reply.clear();
        unsigned char header[wire::HEADER_SIZE];
        wire::encode_header(
            {request.op, static_cast<uint16_t>(rc), static_cast<uint32_t>(reply.size())}, header);
        if (wire::send_parts(fd, header, sizeof header, reply.data(), reply.size(), nullptr, 0) !=
                wire::E_OK ||
            request.op == wire::OP_CLOSE)
            break;
    }
    {
        std::lock_guard<std::mutex> guard(server.system.lock);
        end_connection(server.system, connection);
    }
    std::lock_guard<std::mutex> guard(server.connections_lock);
    close(fd);
    server.sockets.erase(fd);
    server.connections_done.notify_all();
}

int listen_on(uint16_t port, uint16_t *bound_port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    socklen_t size = sizeof address;
    if (bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        listen(fd, 64) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&address), &size) != 0) {
        close(fd);
        return -1;
    }
    *bound_port = ntohs(address.sin_port);
    return fd;
}

int usage() {
    fprintf(stderr, "usage: qbxd-sim [--port N] [--state DIR] [--log FILE] CONFIG.json\n");
    return 2;
}

}  // namespace

int main(int argc, char **argv) {
    long port = 11111;
    std::string state_dir, log_path, config_path;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--port" && i + 1 < argc)
            port = strtol(argv[++i], nullptr, 10);
        else if (option == "--state" && i + 1 < argc)
            state_dir = argv[++i];
        else if (option == "--log" && i + 1 < argc)
            log_path = argv[++i];
        else if (option[0] != '-' && config_path.empty())
            config_path = option;
        else
            return usage();
    }
    if (config_path.empty() || port < 0 || port > 65535) return usage();

    static Server server;
    std::string error;
    if (!load_crate_system(config_path, &server.system, &error) ||
        (!state_dir.empty() && !attach_state_dir(state_dir, &server.system, &error))) {
        fprintf(stderr, "qbxd-sim: %s\n", error.c_str());
        return 1;
    }
    if (!log_path.empty() && (server.log = fopen(log_path.c_str(), "a")) == nullptr) {
        perror(log_path.c_str());
        return 1;
    }
    // Ready for a stop before the port line tells anyone that the server is up.
    if (pipe2(stop_pipe, O_CLOEXEC) != 0) return 1;
    struct sigaction action = {};
    action.sa_handler = on_stop_signal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);

    uint16_t bound_port = 0;
    const int listener = listen_on(static_cast<uint16_t>(port), &bound_port);
    if (listener < 0) {
        fprintf(stderr, "qbxd-sim: cannot listen on 127.0.0.1:%ld: %s\n", port, strerror(errno));
        return 1;
    }
    if (port == 0)
        printf("%u\n", bound_port);
    else
        printf("qbxd-sim listening on 127.0.0.1:%u\n", bound_port);
    fflush(stdout);

    for (;;) {
        pollfd waiting[2] = {{listener, POLLIN, 0}, {stop_pipe[0], POLLIN, 0}};
        if (poll(waiting, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (waiting[1].revents) break;
        const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        const int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        std::lock_guard<std::mutex> guard(server.connections_lock);
        try {
            std::thread(serve_connection, std::ref(server), fd, server.next_id++).detach();
            server.sockets.insert(fd);
        } catch (const std::system_error &) {
            close(fd);  // no thread to be had: refuse this connection, keep serving
        }
    }

    // Stop: no new connections; wake every connection thread and wait for it to end.
    close(listener);
    std::unique_lock<std::mutex> guard(server.connections_lock);
    for (int fd : server.sockets) shutdown(fd, SHUT_RDWR);
    server.connections_done.wait(guard, [] { return server.sockets.empty(); });
    if (server.log != nullptr) fclose(server.log);
    return 0;
}
