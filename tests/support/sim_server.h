// Starts the simulated crate server for a test: on a free port, from a configuration
// given as JSON text, with a state directory and a request log in a directory of its own.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

struct SimServer {
    std::string dir;  // holds crates.json, state/ and requests.log
    pid_t pid = -1;
    int port = 0;
    bool keep_state = true;  // false: flash in memory only, no state/
};

// Starts the server; false when it did not come up. Files are put in server->dir when
// that is set (a restart keeps the state), else in a new temporary directory.
bool start_sim(SimServer *server, const std::string &config_json);
// Ends it with SIGTERM and waits for it; returns its exit status (128 + signal if killed).
int stop_sim(SimServer *server);
// Stops the server if it runs and removes its directory.
void discard_sim(SimServer *server);

// The configuration of `crates` crates named PREFIX0, PREFIX1, ... whose slots 1 to
// `modules` each hold a module of `kind` with a valid info block.
std::string uniform_crates_json(const std::string &prefix, const char *kind, int crates,
                                int modules);

// "QBXD_ENDPOINT=127.0.0.1:PORT", for the environment of a client.
std::string endpoint_setting(const SimServer &server);
std::vector<std::string> request_log(const SimServer &server);
// The flash of a module as the state directory holds it.
std::vector<unsigned char> state_flash(const SimServer &server, const std::string &crate, int slot);
