#include "common/temp_dir.h"

#include <cstdlib>
#include <cstring>

int copyTemporaryDirectory(char* dst, size_t size) {
    if (dst == nullptr || size == 0) return -1;
    const char* dir = std::getenv("TMPDIR");
    if (dir == nullptr || dir[0] == '\0') dir = "/tmp/";
    size_t length = std::strlen(dir);
    const bool needsSlash = dir[length - 1] != '/';
    if (length + (needsSlash ? 1 : 0) >= size) {
        dst[0] = '\0';
        return -1;
    }
    std::memcpy(dst, dir, length);
    if (needsSlash) dst[length++] = '/';
    dst[length] = '\0';
    return 0;
}
