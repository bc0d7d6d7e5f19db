// hbobjlog: log dumps of maps, list iterators and objects, through __brlog
// with the caller's tag and severity, one line per value, each nesting level
// indented by three more blanks.
//
// Nesting is cut off at HBOBJLOG_MAX_DEPTH levels (what a 256-byte
// indentation buffer holds): a value that would go deeper is shown as one
// line "<indent>  -- ... (nested deeper than 84 levels, not shown)" and not
// entered, which also ends the dump of a structure that contains itself.
// String values under keys that name secrets (containing "token" or
// "password", any case) are masked: the first 4 characters, then "…".
// The dumps read the structures without locking: callers hold the owner's
// lock.
#pragma once

#include "hblistiter.h"
#include "hbmap.h"
#include "hbobj.h"

constexpr int HBOBJLOG_MAX_DEPTH = 84;

void HBMap__logMap(const char *tag, int severity, IHBMap *map);
// Walks from the iterator's current position, then resets it.
void HBListIterator__logIterator(const char *tag, int severity, HBListIterator *iterator);
void IHBObj__log(const char *tag, int severity, IHBObj *object);

// The depth-aware forms behind the three above (depth 0 is the top).
void HBListIterator__logIteratorAt(const char *tag, int severity, HBListIterator *iterator,
                                   int depth);
