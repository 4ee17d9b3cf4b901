// Prints how the machine's OpenGL renderer reads back an opaque red picture
// in packed 4:2:2 YCbCr and in BGRA.
#include <getopt.h>

#include <cstdio>

#include "capture/capture.h"

namespace {

constexpr int kExitRan = 0;
constexpr int kExitIncomplete = 1;
constexpr int kExitUsage = 2;
constexpr int kExitNoContext = 3;

void printHelp() {
    std::printf(
        "Usage: gl-readback [--help] [--version]\n"
        "Clears a 1920 x 1080 picture to opaque red on an offscreen OpenGL context (EGL,\n"
        "Mesa's surfaceless platform), reads it back as packed 4:2:2 YCbCr and as BGRA\n"
        "from a texture-backed and a renderbuffer-backed framebuffer, and prints the first\n"
        "bytes of every read (zeros where the renderer refuses a format).\n"
        "\n"
        "Exit status: %d when the reads ran, %d when a framebuffer was incomplete,\n"
        "%d on a bad command line, %d when no OpenGL context could be had.\n",
        kExitRan, kExitIncomplete, kExitUsage, kExitNoContext);
}

// Returns the exit status when the command line ends the run, else -1.
int readCommandLine(int argc, char** argv) {
    static const option kOptions[] = {
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},
        {nullptr, 0, nullptr, 0},
    };
    opterr = 0;
    for (int option; (option = getopt_long(argc, argv, ":hV", kOptions, nullptr)) != -1;) {
        if (option == 'h') {
            printHelp();
            return kExitRan;
        }
        if (option == 'V') {
            std::printf("gl-readback %s\n", NDITABRIVO_VERSION);
            return kExitRan;
        }
        std::fprintf(stderr, "gl-readback: unknown option '%s' (see --help)\n", argv[optind - 1]);
        return kExitUsage;
    }
    if (optind < argc) {
        std::fprintf(stderr, "gl-readback: unexpected argument '%s' (see --help)\n", argv[optind]);
        return kExitUsage;
    }
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    const int ended = readCommandLine(argc, argv);
    if (ended >= 0) return ended;
    const int result = testGLReadback();
    if (result == 0) return kExitRan;
    return result == 1 ? kExitIncomplete : kExitNoContext;
}
