// What the benchmarks say about the machine beside each figure: its load,
// and the CPU time a busy virtual-machine host gave to other guests while a
// figure was measured ("steal" in /proc/stat). A figure measured while much
// was stolen says little about the program.
#pragma once

#include <cstdio>

inline double loadAverage() {
    double load = -1;
    if (FILE* f = fopen("/proc/loadavg", "r")) {
        if (fscanf(f, "%lf", &load) != 1) load = -1;
        fclose(f);
    }
    return load;
}

// The machine's CPU time so far, all of it and the stolen part, in ticks.
struct MachineTime {
    unsigned long long total = 0;
    unsigned long long stolen = 0;
};

inline MachineTime machineTime() {
    MachineTime t;
    FILE* f = fopen("/proc/stat", "r");
    if (f == nullptr) return t;
    unsigned long long v[8] = {};
    if (fscanf(f, "cpu %llu %llu %llu %llu %llu %llu %llu %llu", &v[0], &v[1], &v[2], &v[3], &v[4],
               &v[5], &v[6], &v[7]) == 8) {
        for (unsigned long long x : v) t.total += x;
        t.stolen = v[7];
    }
    fclose(f);
    return t;
}

// The stolen share of the machine's CPU time since start; < 0 when unknown.
inline double stolenShareSince(const MachineTime& start) {
    const MachineTime end = machineTime();
    if (end.total <= start.total) return -1;
    return double(end.stolen - start.stolen) / double(end.total - start.total);
}
