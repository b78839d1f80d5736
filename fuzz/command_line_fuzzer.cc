// Fuzzes the command line: the input, split at zero bytes, is the argument vector after
// the program name. The parser's process-wide state is reset before each run.
#include <getopt.h>
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "result_codes.h"
#include "run/options.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::vector<std::string> args = {"qbxmodflash"};
    std::string current;
    for (size_t i = 0; i < size && args.size() < 32; ++i) {
        if (data[i] == 0) {
            args.push_back(current);
            current.clear();
        } else {
            current += static_cast<char>(data[i]);
        }
    }
    if (!current.empty()) args.push_back(current);
    std::vector<char *> argv;
    for (std::string &arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);

    optind = 0;  // glibc: a full re-initialisation of the parser
    Options options{};
    int help_shown = 0;
    const int rc = parse_options(&options, static_cast<int>(args.size()), argv.data(), &help_shown);
    if (rc != 0 && rc != ERR_OPTIONS) __builtin_trap();
    if (rc == 0 && !help_shown && options.firmware_file == nullptr) __builtin_trap();
    if (options.csn == nullptr) __builtin_trap();
    if (options.slot < 0 || options.slot > 16) __builtin_trap();
    return 0;
}
