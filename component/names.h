// The heap copies of parameter names, the one allocation the component owns.
//
// Every copy is registered, so that the component frees only what it
// allocated itself: the host's initial InstanceData content is unknown, and a
// stray non-null kName must never reach free(). A copy is unregistered when
// it is freed, so a second release (or a copied block) cannot free it twice.
#pragma once

#include <stddef.h>

// Copies `length` bytes of text plus a terminator to the heap and registers
// the copy. Returns null, and allocates nothing, when an allocation fails.
char* CopyName(const char* text, size_t length);

// True when `name` is a live copy made by CopyName; false for null and for
// anything else a record may hold.
bool IsOwnName(const char* name);

// Frees `name` when it is a registered copy; ignores anything else (null
// included). Returns true when something was freed.
bool ReleaseName(char* name);
