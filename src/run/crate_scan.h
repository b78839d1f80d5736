// The crate scan: walks the crate server's crate list with the serial filter, chooses
// the target modules (the named slot, the first module of the kind, or with --all every
// one), updates each, and prints the summary.
#pragma once

#include <stdio.h>

#include "firmware/module_kinds.h"
#include "run/options.h"

// Returns the crate library's code when the service-control connection or the crate list
// fails. After a completed walk: 0 when modules were processed and nothing failed,
// ERR_NOT_FOUND when no module was processed and no crate failed, ERR_INCOMPLETE when a
// crate or a module was counted with error.
int scan_crates(const Options &options, FILE *file, const ModuleKind &kind);
