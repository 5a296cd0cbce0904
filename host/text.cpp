#include "host/text.h"

void BoundedCopy(char* dst, size_t size, const char* src) {
    if (size == 0) return;
    size_t i = 0;
    if (src != nullptr) {
        for (; i + 1 < size && src[i] != '\0'; ++i) dst[i] = src[i];
    }
    dst[i] = '\0';
}

size_t BoundedLength(const char* text, size_t limit) {
    size_t n = 0;
    while (n < limit && text[n] != '\0') ++n;
    return n;
}
