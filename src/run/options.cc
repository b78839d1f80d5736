#include "run/options.h"

#include <errno.h>
#include <getopt.h>
#include <limits.h>
#include <locale.h>
#include <stdlib.h>
#include <string.h>

#include "firmware/identify.h"
#include "platform/crate_system.h"
#include "result_codes.h"

// 256 lies outside the option letters, so --all has no short form.
constexpr int OPT_ALL = 256;

static const char short_options[] = "hvc:s:";

// clang-format off
static const struct option long_options[] = {
    {"help",    no_argument,       nullptr, 'h'},
    {"verbose", no_argument,       nullptr, 'v'},
    {"csn",     required_argument, nullptr, 'c'},
    {"slot",    required_argument, nullptr, 's'},
    {"all",     no_argument,       nullptr, OPT_ALL},
    {nullptr,   0,                 nullptr, 0},
};
// clang-format on

static const char usage_text[] =
    "\n"
    "Usage: qbxmodflash [OPTIONS] firmware-file\n"
    "\n"
    " qbxmodflash is command line utility for update AVR firmware in QBX-modules.\n"
    " This utility determinates by firmware-file for which module this firmware\n"
    "   intended.\n"
    " You can update firmware for all QBX-modulus for which it fit:\n"
    "\n"
    "   qbxmodflash -v --all firmware-file\n"
    "\n"
    " Or you can update firmware only for specified module:\n"
    "\n"
    "   qbxmodflash -v --csn=crate-serial --slot=slot-in-crate fimware-file\n";

static const char options_text[] =
    "Options:\n"
    "    --all               - Batch update firmware for all modules for wich\n"
    "                          firmware fits\n"
    "-c, --csn=crate-serial  - Crate serial which contains module, which needs to be\n"
    "                          upgraded\n"
    "-h, --help              - Print this help and exit\n"
    "-s, --slot=module-slot  - Slot number (1-16) of module, which needs to be\n"
    "                          upgraded\n"
    "-v, --verbose           - Print verbose information about process of upgrading.\n"
    "                          Without this option utility prints only error\n"
    "                          messages\n";

void print_usage() {
    printf("%s", usage_text);
    printf("\nSupported modules:\n");
    for (const ModuleKind &kind : module_kinds) printf("    %s\n", kind.name);
    printf("\n");
    printf("%s", options_text);
}

// Reads a slot number as atoi would (leading blanks, a sign, digits up to the first
// non-digit), but a number too large for an int is simply invalid rather than undefined.
// Returns the slot, or 0 when the text is no slot number from 1 to SLOT_COUNT.
static int slot_number(const char *text) {
    errno = 0;
    const long value = strtol(text, nullptr, 10);
    if (errno != 0 || value < 1 || value > SLOT_COUNT) return 0;
    return static_cast<int>(value);
}

int parse_options(Options *options, int argc, char **argv, int *help_shown) {
    int rc = 0;
    *help_shown = 0;
    options->csn = "";
    while (rc == 0 && !*help_shown) {
        const int option = getopt_long(argc, argv, short_options, long_options, nullptr);
        if (option == -1) break;
        switch (option) {
        case 'c':
            options->csn = optarg;
            break;
        case 'h':
            print_usage();
            *help_shown = 1;
            break;
        case 's':
            options->slot = slot_number(optarg);
            if (options->slot == 0) {
                fprintf(stderr, "Error! Invalid slot number\n");
                rc = ERR_OPTIONS;
            }
            break;
        case 'v':
            options->verbose = 1;
            break;
        case OPT_ALL:
            options->all = 1;
            break;
        default:  // '?': getopt_long has written its own diagnostic; the option is dropped
            break;
        }
    }
    if (rc != 0 || *help_shown) return rc;
    if (optind >= argc) {
        fprintf(stderr, "Error! firmware file is not specified\n");
        return ERR_OPTIONS;
    }
    options->firmware_file = argv[optind];
    return 0;
}

int start_run(int argc, char **argv, Options *options, FILE **file, const ModuleKind **kind,
              int *proceed) {
    setlocale(LC_ALL, "");
    *options = Options{};
    *file = nullptr;
    *kind = nullptr;
    *proceed = 0;

    int help_shown = 0;
    int rc = parse_options(options, argc, argv, &help_shown);
    if (rc != 0 || help_shown) return rc;

    *file = fopen(options->firmware_file, "rb");
    if (*file == nullptr) {
        fprintf(stderr, "Error! Cannot open firmware file %s.\n", options->firmware_file);
        return ERR_FILE_OPEN;
    }
    rc = identify_firmware(*file, kind, options->verbose);
    if (rc != 0) {
        fclose(*file);
        *file = nullptr;
        return rc;
    }
    *proceed = 1;
    return 0;
}
