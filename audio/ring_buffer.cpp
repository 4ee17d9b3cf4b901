// The ring buffer between the device's real-time thread and the capture run:
// one backing file mapped twice, back to back. Its memory is reserved when it
// is made, because pages of a file that a full tmpfs cannot give end the
// process with SIGBUS at the first write, on the device's thread.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "audio/audio.h"

namespace {

constexpr char kSharedMemoryTemplate[] = "/dev/shm/soundio-XXXXXX";
constexpr char kFileTemplate[] = "soundio-XXXXXX";

// A file of `size` reserved bytes made from the template and already removed
// from its directory; -1 when it cannot be made or its room reserved.
int reservedFile(char* path, off_t size) {
    const int fd = mkostemp(path, O_CLOEXEC);
    if (fd < 0) return -1;
    unlink(path);
    if (posix_fallocate(fd, 0, size) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// The file mapped twice, back to back; null when it cannot be.
char* mapTwice(int fd, size_t size) {
    void* whole = mmap(nullptr, 2 * size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (whole == MAP_FAILED) return nullptr;
    char* base = static_cast<char*>(whole);
    for (char* half : {base, base + size}) {
        if (mmap(half, size, PROT_READ | PROT_WRITE, MAP_FIXED | MAP_SHARED, fd, 0) == MAP_FAILED) {
            munmap(base, 2 * size);
            return nullptr;
        }
    }
    return base;
}

// The second location: the per-user temporary directory, when the template
// fits; empty otherwise, and then it is not tried.
void secondTemplate(char* dst) {
    if (getTempDirectory(dst) != 0 || strlen(dst) + sizeof kFileTemplate > kTempPathSize) {
        dst[0] = '\0';
        return;
    }
    strcat(dst, kFileTemplate);
}

}  // namespace

bool createCaptureRing(CaptureRing* ring, int64_t bytes) {
    *ring = CaptureRing{};
    const int64_t page = sysconf(_SC_PAGESIZE);
    if (page <= 0 || bytes > kMaxCaptureRingBytes) return false;
    const int64_t capacity = ((bytes < 1 ? 1 : bytes) + page - 1) / page * page;
    char second[kTempPathSize];
    secondTemplate(second);
    char first[sizeof kSharedMemoryTemplate];
    memcpy(first, kSharedMemoryTemplate, sizeof first);
    int fd = reservedFile(first, off_t(capacity));
    if (fd < 0 && second[0] != '\0') fd = reservedFile(second, off_t(capacity));
    if (fd < 0) return false;
    ring->memory = mapTwice(fd, size_t(capacity));
    close(fd);
    if (ring->memory == nullptr) return false;
    ring->capacity = int(capacity);
    return true;
}

void destroyCaptureRing(CaptureRing* ring) {
    if (ring->memory != nullptr) munmap(ring->memory, 2 * size_t(ring->capacity));
    *ring = CaptureRing{};
}
