// What the benchmark tools share on their command lines: the size names and
// the one way a wrong argument ends a tool.
#pragma once

#include <getopt.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

// Names the wrong argument and ends the tool with status 2, as command-line
// tools do.
[[noreturn]] inline void badUsage(const char* program, const char* what, const char* value) {
    fprintf(stderr, "%s: %s '%s'\n", program, what, value);
    fprintf(stderr, "Try '%s --help'.\n", program);
    exit(2);
}

// The options every tool shares, and the getopt_long errors: --help prints
// usage and ends with 0, --version the version; a missing value or an unknown
// option is named and ends with 2. Returns for any other code.
inline void handleCommonOption(const char* program, const char* usage, int code, char** argv) {
    switch (code) {
        case 'h':
            fputs(usage, stdout);
            exit(0);
        case 'V':
            printf("%s %s\n", program, NDITABRIVO_VERSION);
            exit(0);
        case ':':
            badUsage(program, "missing value for option", argv[optind - 1]);
        case '?':
            badUsage(program, "unknown option", argv[optind - 1]);
        default:
            return;
    }
}

// WIDTHxHEIGHT, 1080p or 2160p: even sides from minSide up to 7680 x 4320.
inline bool parseFrameSize(const char* text, int minSide, int* width, int* height) {
    if (strcmp(text, "1080p") == 0) text = "1920x1080";
    if (strcmp(text, "2160p") == 0) text = "3840x2160";
    int w = 0, h = 0;
    char tail = 0;
    if (sscanf(text, "%dx%d%c", &w, &h, &tail) != 2) return false;
    if (w < minSide || h < minSide || w > 7680 || h > 4320 || w % 2 != 0 || h % 2 != 0)
        return false;
    *width = w;
    *height = h;
    return true;
}
