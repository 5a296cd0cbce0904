#include "component/names.h"

#include "host/boundary.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

namespace {

// Open-addressing set of the live copies. Single-threaded like every other
// module-wide state: the host never overlaps calls.
char** gTable = nullptr;
size_t gCapacity = 0; // a power of two, or 0
size_t gCount = 0;

#if defined(DVX_FAULT_INJECTION)
int32_t gAllocationsBeforeFailure = 0;
int32_t gFailingAllocations = 0;
#endif

void* AllocateBytes(size_t bytes) {
#if defined(DVX_FAULT_INJECTION)
    if (gAllocationsBeforeFailure > 0) {
        --gAllocationsBeforeFailure;
    } else if (gFailingAllocations > 0) {
        --gFailingAllocations;
        return nullptr;
    }
#endif
    return malloc(bytes);
}

size_t SlotFor(const char* name, size_t capacity) {
    uintptr_t h = reinterpret_cast<uintptr_t>(name);
    h ^= h >> 17;
    h *= static_cast<uintptr_t>(0x9E3779B97F4A7C15ull);
    h ^= h >> 29;
    return static_cast<size_t>(h) & (capacity - 1);
}

void InsertInto(char** table, size_t capacity, char* name) {
    size_t i = SlotFor(name, capacity);
    while (table[i] != nullptr) i = (i + 1) & (capacity - 1);
    table[i] = name;
}

// Keeps the load at most one half. False when the table cannot grow.
bool ReserveOneMore() {
    if ((gCount + 1) * 2 <= gCapacity) return true;
    const size_t capacity = gCapacity == 0 ? 16 : gCapacity * 2;
    char** table = static_cast<char**>(AllocateBytes(capacity * sizeof(char*)));
    if (table == nullptr) return false;
    memset(table, 0, capacity * sizeof(char*));
    for (size_t i = 0; i < gCapacity; ++i)
        if (gTable[i] != nullptr) InsertInto(table, capacity, gTable[i]);
    free(gTable);
    gTable = table;
    gCapacity = capacity;
    return true;
}

bool FindSlot(const char* name, size_t* slot) {
    if (gCapacity == 0 || name == nullptr) return false;
    size_t i = SlotFor(name, gCapacity);
    while (gTable[i] != nullptr) {
        if (gTable[i] == name) {
            *slot = i;
            return true;
        }
        i = (i + 1) & (gCapacity - 1);
    }
    return false;
}

// Without any copy the component holds no allocation: the table goes too.
void DropTableIfEmpty() {
    if (gCount != 0) return;
    free(gTable);
    gTable = nullptr;
    gCapacity = 0;
}

// Removes slot i and re-seats the rest of its cluster (linear probing).
void EraseSlot(size_t i) {
    gTable[i] = nullptr;
    --gCount;
    size_t j = (i + 1) & (gCapacity - 1);
    while (gTable[j] != nullptr) {
        char* moved = gTable[j];
        gTable[j] = nullptr;
        InsertInto(gTable, gCapacity, moved);
        j = (j + 1) & (gCapacity - 1);
    }
    DropTableIfEmpty();
}

// Copies that a host never released go when the library is unloaded.
__attribute__((destructor)) void ReleaseAtUnload() {
    for (size_t i = 0; i < gCapacity; ++i) free(gTable[i]);
    free(gTable);
    gTable = nullptr;
    gCapacity = gCount = 0;
}

} // namespace

char* CopyName(const char* text, size_t length) {
    if (!ReserveOneMore()) return nullptr;
    char* copy = static_cast<char*>(AllocateBytes(length + 1));
    if (copy == nullptr) {
        DropTableIfEmpty(); // a table made for this copy alone must not outlive it
        return nullptr;
    }
    memcpy(copy, text, length);
    copy[length] = '\0';
    InsertInto(gTable, gCapacity, copy);
    ++gCount;
    return copy;
}

bool IsOwnName(const char* name) {
    size_t slot = 0;
    return FindSlot(name, &slot);
}

bool ReleaseName(char* name) {
    size_t slot = 0;
    if (!FindSlot(name, &slot)) return false;
    EraseSlot(slot);
    free(name);
    return true;
}

#if defined(DVX_FAULT_INJECTION)
// Test builds only: after `skip` allocations succeed, the next `count` fail.
extern "C" DVX_EXPORT void DVX_CDECL DvxFailAllocations(int32_t skip, int32_t count) {
    gAllocationsBeforeFailure = skip;
    gFailingAllocations = count;
}
#endif
