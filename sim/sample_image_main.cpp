// vtrl-sample-image: writes a sound firmware image (program bytes, then the
// version and the CRC-16 trailer).  Without SIZE it writes the sample the demo
// build upgrades to: 300000 bytes, so the calibration record is saved and
// restored, version 1.007.
// Usage: vtrl-sample-image OUTPUT_FILE [SIZE [VERSION [SEED]]]
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <vector>

#include "sim/image.h"

namespace {

bool ParseNumber(const char* text, unsigned long min, unsigned long max, unsigned long* value) {
    char* end = nullptr;
    const unsigned long parsed = std::strtoul(text, &end, 0);
    if (end == text || *end != '\0' || parsed < min || parsed > max) {
        return false;
    }
    *value = parsed;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    unsigned long size = 300000;
    unsigned long version = 1007;
    unsigned long seed = 7;
    if (argc < 2 || argc > 5 || (argc > 2 && !ParseNumber(argv[2], 6, 16UL << 20, &size)) ||
        (argc > 3 && !ParseNumber(argv[3], 0, 0xFFFFFFFFUL, &version)) ||
        (argc > 4 && !ParseNumber(argv[4], 0, 0xFFFFFFFFUL, &seed))) {
        std::fprintf(stderr,
                     "usage: vtrl-sample-image OUTPUT_FILE [SIZE [VERSION [SEED]]]\n"
                     "  SIZE 6 to 16 MiB (default 300000), VERSION in thousandths "
                     "(default 1007)\n");
        return 2;
    }
    const std::vector<uint8_t> image =
        vtrl::sim::MakeImage(size, static_cast<uint32_t>(version), static_cast<uint32_t>(seed));
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
