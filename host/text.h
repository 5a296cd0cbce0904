// Bounded text handling shared by the catalogue and the component's messages.
#pragma once

#include <stddef.h>

// Copies src into dst of `size` bytes, truncating so that dst always ends
// with a NUL. A null src copies the empty text. Does nothing when size is 0.
void BoundedCopy(char* dst, size_t size, const char* src);

// Length of text, reading at most `limit` bytes: for buffers a host may have
// left without a terminator.
size_t BoundedLength(const char* text, size_t limit);
