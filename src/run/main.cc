// qbxmodflash: writes AVR firmware into the modules of QBX crates.
#include <stdio.h>

#include "run/crate_scan.h"
#include "run/options.h"

int main(int argc, char **argv) {
    Options options;
    FILE *file = nullptr;
    const ModuleKind *kind = nullptr;
    int proceed = 0;
    const int status = start_run(argc, argv, &options, &file, &kind, &proceed);
    if (!proceed) return status;
    const int rc = scan_crates(options, file, *kind);
    fclose(file);
    return rc;
}
