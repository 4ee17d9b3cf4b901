// The per-user temporary directory: $TMPDIR, else /tmp/, always ending in '/'.
#pragma once

#include <cstddef>

// Copies the directory, NUL-terminated, into dst (size bytes). Returns 0, or
// -1 with dst empty when it does not fit.
int copyTemporaryDirectory(char* dst, size_t size);
