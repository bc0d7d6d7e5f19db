// brnetif: the network interface log written at drive-daemon start.
//
// Logs one line per interface address under "BRNETIF" at the given
// severity. Thread-safe; holds nothing between calls.
#pragma once

#include "brerror.h"

// 0, or the mapped error when the interfaces cannot be listed.
brerror_t brnetif__logInterfaces(int level);
