// Runs a program as a subprocess and collects what a user sees: exit status, standard
// output and standard error.
#pragma once

#include <string>
#include <vector>

struct ProcessResult {
    int status;  // the exit status as the shell sees it (0-255), or 128 + signal
    std::string out;
    std::string err;
};

struct ProcessOptions {
    std::string directory;                 // working directory; empty: the test's own
    std::vector<std::string> environment;  // "NAME=VALUE" added or replaced
    std::vector<std::string> unset;        // names removed from the environment
};

// argv[0] is the program's path. The built qbxmodflash runs under the command in the
// environment variable QBXMODFLASH_WRAPPER when that is set (valgrind, for the memcheck runs).
ProcessResult run_process(const std::vector<std::string> &argv, const ProcessOptions &options = {});

// A directory of its own under the system's temporary directory, removed by remove_tree.
std::string make_temp_dir();
void remove_tree(const std::string &path);

void write_file(const std::string &path, const std::vector<unsigned char> &bytes);
std::vector<unsigned char> read_file(const std::string &path);
