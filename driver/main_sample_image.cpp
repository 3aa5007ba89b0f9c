// vtrl-sample-image: writes the sample firmware image the demo build upgrades
// to (300000 bytes, so the calibration record is saved and restored; version
// 1.007).  Usage: vtrl-sample-image OUTPUT_FILE
#include <cstdio>
#include <fstream>
#include <vector>

#include "sim/image.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: vtrl-sample-image OUTPUT_FILE\n");
        return 2;
    }
    const std::vector<uint8_t> image = vtrl::sim::MakeImage(300000, 1007, 7);
    std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(image.data()),
              static_cast<std::streamsize>(image.size()));
    out.close();
    if (!out) {
        std::fprintf(stderr, "vtrl-sample-image: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
