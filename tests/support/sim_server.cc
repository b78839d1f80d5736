#include "sim_server.h"

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include "process.h"

bool start_sim(SimServer *server, const std::string &config_json) {
    if (server->dir.empty()) server->dir = make_temp_dir();
    const std::string config = server->dir + "/crates.json";
    write_file(config, std::vector<unsigned char>(config_json.begin(), config_json.end()));
    int out_pipe[2];
    if (pipe(out_pipe) != 0) return false;
    server->pid = fork();
    if (server->pid == 0) {
        dup2(out_pipe[1], 1);
        close(out_pipe[0]);
        const std::string state = server->dir + "/state", log = server->dir + "/requests.log";
        if (server->keep_state)
            execl(QBXD_SIM_BIN, QBXD_SIM_BIN, "--port", "0", "--state", state.c_str(), "--log",
                  log.c_str(), config.c_str(), static_cast<char *>(nullptr));
        else
            execl(QBXD_SIM_BIN, QBXD_SIM_BIN, "--port", "0", config.c_str(),
                  static_cast<char *>(nullptr));
        _exit(127);
    }
    close(out_pipe[1]);
    // The first line is the port the server listens on.
    FILE *out = fdopen(out_pipe[0], "r");
    char line[32] = {};
    const bool started = fgets(line, sizeof line, out) != nullptr;
    fclose(out);
    server->port = started ? atoi(line) : 0;
    if (server->port == 0) stop_sim(server);
    return server->port != 0;
}

int stop_sim(SimServer *server) {
    if (server->pid <= 0) return -1;
    kill(server->pid, SIGTERM);
    int status = 0;
    waitpid(server->pid, &status, 0);
    server->pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void discard_sim(SimServer *server) {
    stop_sim(server);
    if (!server->dir.empty()) remove_tree(server->dir);
    server->dir.clear();
}

std::string uniform_crates_json(const std::string &prefix, const char *kind, int crates,
                                int modules) {
    std::string config = R"({"crates": [)";
    for (int crate = 0; crate < crates; ++crate) {
        config += std::string(crate ? "," : "") + R"({"serial": ")" + prefix +
                  std::to_string(crate) + R"(", "slots": {)";
        for (int slot = 1; slot <= modules; ++slot)
            config += std::string(slot > 1 ? "," : "") + "\"" + std::to_string(slot) +
                      R"(": {"kind": ")" + kind + R"(", "image": {"serial": "SN"}})";
        config += "}}";
    }
    return config + "]}";
}

std::string endpoint_setting(const SimServer &server) {
    return "QBXD_ENDPOINT=127.0.0.1:" + std::to_string(server.port);
}

std::vector<std::string> request_log(const SimServer &server) {
    std::ifstream in(server.dir + "/requests.log");
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::vector<unsigned char> state_flash(const SimServer &server, const std::string &crate,
                                       int slot) {
    return read_file(server.dir + "/state/" + crate + "-" + std::to_string(slot) + ".flash");
}
