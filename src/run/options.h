// Start-up: the command line as an Options record, the help text, and the opening and
// identification of the firmware file. Nothing here talks to the crate server.
#pragma once

#include <stdint.h>
#include <stdio.h>

#include "firmware/module_kinds.h"

struct Options {
    int32_t verbose;            // -v: narrate each step on standard output
    int32_t all;                // --all: every module of the kind in every crate
    int32_t slot;               // -s: 1 to 16; 0 = no slot named
    const char *csn;            // -c: crate serial filter, never null; "" = any crate
    const char *firmware_file;  // first non-option argument
};

// Fills the caller's zeroed *options from argv with getopt_long (which may reorder argv).
// Returns 0, or ERR_OPTIONS after printing why (invalid slot, no firmware file).
// *help_shown is 1 when -h printed the help text; parsing stopped there and the result is 0.
int parse_options(Options *options, int argc, char **argv, int *help_shown);

// Writes the help text, listing every module kind, to standard output; does not flush.
void print_usage();

// The first stage of every run: locale, command line, help, firmware file, identification.
// Returns the exit status when the run ends here (*proceed = 0; no file left open), or 0
// with *proceed = 1, *file open for reading and *kind the firmware's row of module_kinds.
int start_run(int argc, char **argv, Options *options, FILE **file, const ModuleKind **kind,
              int *proceed);
