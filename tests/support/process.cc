#include "process.h"

#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

// QBXMODFLASH_WRAPPER ("valgrind -q ...") runs the program under a checker.
static std::vector<std::string> wrapped(const std::vector<std::string> &argv) {
    const char *wrapper = getenv("QBXMODFLASH_WRAPPER");
    if (wrapper == nullptr || argv.empty() || argv[0] != QBXMODFLASH_BIN) return argv;
    std::vector<std::string> command;
    std::istringstream words(wrapper);
    for (std::string word; words >> word;) command.push_back(word);
    command.insert(command.end(), argv.begin(), argv.end());
    return command;
}

ProcessResult run_process(const std::vector<std::string> &argv, const ProcessOptions &options) {
    int out_pipe[2], err_pipe[2];
    if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0) return {-1, "", "pipe failed"};
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        close(out_pipe[0]);
        close(err_pipe[0]);
        if (!options.directory.empty() && chdir(options.directory.c_str()) != 0) _exit(126);
        for (const std::string &name : options.unset) unsetenv(name.c_str());
        for (const std::string &setting : options.environment) {
            const size_t equals = setting.find('=');
            setenv(setting.substr(0, equals).c_str(), setting.substr(equals + 1).c_str(), 1);
        }
        std::vector<std::string> command = wrapped(argv);
        std::vector<char *> args;
        for (const std::string &arg : command) args.push_back(const_cast<char *>(arg.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);
    ProcessResult result{-1, "", ""};
    pollfd streams[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    std::string *texts[2] = {&result.out, &result.err};
    int open_streams = 2;
    while (open_streams > 0 && poll(streams, 2, -1) > 0) {
        for (int i = 0; i < 2; ++i) {
            if (streams[i].fd < 0 || streams[i].revents == 0) continue;
            char buffer[65536];
            const ssize_t got = read(streams[i].fd, buffer, sizeof buffer);
            if (got > 0) {
                texts[i]->append(buffer, static_cast<size_t>(got));
            } else {
                close(streams[i].fd);
                streams[i].fd = -1;
                --open_streams;
            }
        }
    }
    int status = 0;
    waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

std::string make_temp_dir() {
    std::string pattern = std::filesystem::temp_directory_path().string() + "/qbxtest-XXXXXX";
    return mkdtemp(pattern.data()) ? pattern : std::string();
}

void remove_tree(const std::string &path) {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

void write_file(const std::string &path, const std::vector<unsigned char> &bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char *>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

std::vector<unsigned char> read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<unsigned char>((std::istreambuf_iterator<char>(in)), {});
}
