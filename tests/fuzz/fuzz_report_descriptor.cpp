// The HID report descriptor as hidraw hands it over (any bytes a device or a
// damaged sysfs file could give): the lengths worked out from it must be
// read within its bytes, be ones a report can have, and leave the result
// alone when the descriptor is refused.  A second reading of a descriptor
// taken gives the same lengths, and one cut short by a byte that was part of
// an item is refused.
#include <cstdint>
#include <vector>

#include "link/hid_report_descriptor.h"
#include "tests/fuzz/fuzz_input.h"

namespace {

bool Plausible(uint16_t length) {
    // Nothing, or an ID byte and at least one bit, at most the longest report.
    return length == 0 || (length >= 2 && length <= vtrl::kHidMaxReportBytes + 1);
}

// Whether the last byte of `d` belongs to an item that starts before it (so
// that cutting it off leaves an incomplete item).
bool LastByteInsideAnItem(const std::vector<uint8_t>& d) {
    size_t at = 0;
    while (at < d.size()) {
        const size_t length = d[at] == 0xFE ? (at + 1 < d.size() ? 3 + size_t{d[at + 1]} : 3)
                                            : 1 + ((d[at] & 3) == 3 ? 4 : d[at] & 3);
        if (at + length >= d.size()) {
            return at + length == d.size() && length > 1;
        }
        at += length;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // An exact copy: a read past the end is the sanitizer's to see.
    const std::vector<uint8_t> descriptor(data, data + size);
    const vtrl::HidCaps untouched{1, 2, 3};
    vtrl::HidCaps caps = untouched;
    const bool taken = vtrl::ReportLengthsFromDescriptor(descriptor.data(), size, &caps);
    if (!taken) {
        VTRL_FUZZ_CHECK(caps.input_report_bytes == 1 && caps.output_report_bytes == 2 &&
                        caps.feature_report_bytes == 3);
        return 0;
    }
    VTRL_FUZZ_CHECK(size <= vtrl::kHidMaxDescriptorBytes);
    VTRL_FUZZ_CHECK(Plausible(caps.input_report_bytes) && Plausible(caps.output_report_bytes) &&
                    Plausible(caps.feature_report_bytes));
    vtrl::HidCaps again;
    VTRL_FUZZ_CHECK(vtrl::ReportLengthsFromDescriptor(descriptor.data(), size, &again));
    VTRL_FUZZ_CHECK(again.input_report_bytes == caps.input_report_bytes &&
                    again.output_report_bytes == caps.output_report_bytes &&
                    again.feature_report_bytes == caps.feature_report_bytes);
    if (LastByteInsideAnItem(descriptor)) {
        const std::vector<uint8_t> cut(descriptor.begin(), descriptor.end() - 1);
        VTRL_FUZZ_CHECK(!vtrl::ReportLengthsFromDescriptor(cut.data(), cut.size(), &again));
    }
    return 0;
}
