// Report lengths from a report descriptor's bytes, as HidP_GetCaps gives them
// (the ID byte counted), and the descriptors refused: anything a device or a
// damaged sysfs file may hold must be read within its bytes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "link/hid_report_descriptor.h"

namespace vtrl {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Hex(const std::string& text) {
    Bytes out;
    for (size_t i = 0; i + 1 < text.size();) {
        if (text[i] == ' ') {
            ++i;
            continue;
        }
        out.push_back(static_cast<uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
        i += 2;
    }
    return out;
}

// The instrument's: vendor page, no report IDs, 258 bytes in, 256 out, 256 feature.
const char kInstrument[] =
    "0600FF 0901 A101 1500 26FF00 7508 960201 0902 8102 960001 0903 9102 960001 0904 B102 C0";

struct Case {
    const char* name;
    Bytes descriptor;
    bool taken;
    HidCaps caps;
};

TEST(HidReportDescriptor, LengthsAsHidPGetCapsGivesThem) {
    const Case cases[] = {
        {"the instrument's", Hex(kInstrument), true, {259, 257, 257}},
        // Numbered reports: the longest of each kind, plus its ID byte.
        {"report IDs",
         Hex("A101 8501 7508 9508 8102 8502 9503 8102 8501 9502 9102 C0"),
         true,
         {9, 3, 0}},
        // A long item is read past; Push and Pop keep the size and count.
        {"long item, push and pop",
         Hex("FE0200AABB 7508 9504 A4 7510 9501 8102 B4 8102"),
         true,
         {7, 0, 0}},
        {"bits rounded up to a byte", Hex("7501 9503 8102"), true, {2, 0, 0}},
        {"item cut short", Hex("7508 9602"), false, {}},
        {"long item cut short", Hex("FE0500AABB"), false, {}},
        {"pop without push", Hex("B4"), false, {}},
        {"push beyond four levels", Hex("A4A4A4A4A4"), false, {}},
        {"report ID 0", Hex("8500 7508 9501 8102"), false, {}},
        {"end without a collection", Hex("C0"), false, {}},
        {"collection not ended", Hex("A101 7508 9501 8102"), false, {}},
        {"report size beyond 256 bits", Hex("76 0101 9501 8102"), false, {}},
        {"report beyond 16384 bytes", Hex("7508 960140 8102"), false, {}},
        {"descriptor beyond 4096 bytes", Bytes(kHidMaxDescriptorBytes + 1, 0x00), false, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        HidCaps caps{1, 2, 3};
        EXPECT_EQ(ReportLengthsFromDescriptor(c.descriptor.data(), c.descriptor.size(), &caps),
                  c.taken);
        const HidCaps expected = c.taken ? c.caps : HidCaps{1, 2, 3};
        EXPECT_EQ(caps.input_report_bytes, expected.input_report_bytes);
        EXPECT_EQ(caps.output_report_bytes, expected.output_report_bytes);
        EXPECT_EQ(caps.feature_report_bytes, expected.feature_report_bytes);
    }
}

}  // namespace
}  // namespace vtrl
