// Prints how the machine's OpenGL renderer reads back an opaque red picture
// in packed 4:2:2 YCbCr and in BGRA. Exit status 0 when the test ran, 1 when a
// framebuffer was incomplete, 2 when no OpenGL context could be had.
#include "capture/gl_readback.h"

int main() {
    const int result = testGLReadback();
    if (result == 0) return 0;
    return result == 1 ? 1 : 2;
}
