#include "link/hid_report_descriptor.h"

#include <array>

namespace vtrl {

namespace {

// Item types and the tags the lengths depend on (Device Class Definition for
// HID 1.11, section 6.2.2); every other item is read past.
constexpr uint8_t kTypeMain = 0;
constexpr uint8_t kTypeGlobal = 1;
constexpr uint8_t kMainInput = 0x8;
constexpr uint8_t kMainOutput = 0x9;
constexpr uint8_t kMainCollection = 0xA;
constexpr uint8_t kMainFeature = 0xB;
constexpr uint8_t kMainEndCollection = 0xC;
constexpr uint8_t kGlobalReportSize = 0x7;
constexpr uint8_t kGlobalReportId = 0x8;
constexpr uint8_t kGlobalReportCount = 0x9;
constexpr uint8_t kGlobalPush = 0xA;
constexpr uint8_t kGlobalPop = 0xB;
constexpr uint8_t kLongItemPrefix = 0xFE;

// Limits as the Linux kernel's parser keeps them (HID_GLOBAL_STACK_SIZE, the
// largest report size it takes); collections are only counted.
constexpr size_t kGlobalStackDepth = 4;
constexpr uint32_t kMaxReportSizeBits = 256;
constexpr uint32_t kMaxCollectionDepth = 255;
constexpr uint64_t kMaxReportBits = uint64_t{kHidMaxReportBytes} * 8;

struct Globals {
    uint32_t report_size = 0;
    uint32_t report_count = 0;
    uint8_t report_id = 0;  // 0: the device numbers no reports
};

enum Kind : size_t { kInput, kOutput, kFeature, kKinds };

constexpr size_t kReportIds = 256;

// The longest report of kind `kind` among `bits` (kKinds blocks of one count
// per report ID), in bytes.
uint16_t LengthOf(const std::array<uint64_t, kKinds * kReportIds>& bits, size_t kind) {
    uint64_t longest = 0;
    for (size_t id = 0; id < kReportIds; ++id) {
        const uint64_t b = bits[kind * kReportIds + id];
        longest = b > longest ? b : longest;
    }
    // The ID byte comes first whether or not the device numbers its reports.
    return longest == 0 ? 0 : static_cast<uint16_t>((longest + 7) / 8 + 1);
}

}  // namespace

bool ReportLengthsFromDescriptor(const uint8_t* descriptor, size_t length, HidCaps* caps) {
    if (descriptor == nullptr || length > kHidMaxDescriptorBytes) {
        return false;
    }
    // Bits declared so far per kind and report ID.
    std::array<uint64_t, kKinds * kReportIds> bits{};
    Globals globals;
    std::array<Globals, kGlobalStackDepth> stack;
    size_t stacked = 0;
    uint32_t collections = 0;

    size_t at = 0;
    while (at < length) {
        const uint8_t prefix = descriptor[at];
        if (prefix == kLongItemPrefix) {
            // Data size, long item tag, data: nothing defined for lengths.
            if (length - at < 3 || length - at - 3 < descriptor[at + 1]) {
                return false;
            }
            at += 3 + size_t{descriptor[at + 1]};
            continue;
        }
        const size_t data_bytes = (prefix & 3) == 3 ? 4 : prefix & 3;
        if (length - at - 1 < data_bytes) {
            return false;  // the item runs past the end
        }
        uint32_t value = 0;
        for (size_t i = 0; i < data_bytes; ++i) {
            value |= uint32_t{descriptor[at + 1 + i]} << (8 * i);
        }
        at += 1 + data_bytes;
        const uint8_t type = (prefix >> 2) & 3;
        const uint8_t tag = prefix >> 4;

        if (type == kTypeGlobal) {
            switch (tag) {
                case kGlobalReportSize:
                    if (value > kMaxReportSizeBits) {
                        return false;
                    }
                    globals.report_size = value;
                    break;
                case kGlobalReportCount:
                    globals.report_count = value;
                    break;
                case kGlobalReportId:
                    if (value == 0 || value > 255) {
                        return false;
                    }
                    globals.report_id = static_cast<uint8_t>(value);
                    break;
                case kGlobalPush:
                    if (stacked == stack.size()) {
                        return false;
                    }
                    stack[stacked++] = globals;
                    break;
                case kGlobalPop:
                    if (stacked == 0) {
                        return false;
                    }
                    globals = stack[--stacked];
                    break;
                default:
                    break;
            }
            continue;
        }
        if (type != kTypeMain) {
            continue;  // local items and the reserved type say nothing of lengths
        }
        size_t kind = kKinds;
        switch (tag) {
            case kMainInput:
                kind = kInput;
                break;
            case kMainOutput:
                kind = kOutput;
                break;
            case kMainFeature:
                kind = kFeature;
                break;
            case kMainCollection:
                if (++collections > kMaxCollectionDepth) {
                    return false;
                }
                break;
            case kMainEndCollection:
                if (collections == 0) {
                    return false;
                }
                --collections;
                break;
            default:
                break;
        }
        if (kind == kKinds) {
            continue;
        }
        // Both factors are below 2^32, so the product fits; the sum stays
        // within the limit checked after every item.
        const size_t slot = kind * kReportIds + globals.report_id;
        const uint64_t total =
            bits[slot] + static_cast<uint64_t>(globals.report_size) * globals.report_count;
        if (total > kMaxReportBits) {
            return false;
        }
        bits[slot] = total;
    }
    if (collections != 0) {
        return false;
    }
    caps->input_report_bytes = LengthOf(bits, kInput);
    caps->output_report_bytes = LengthOf(bits, kOutput);
    caps->feature_report_bytes = LengthOf(bits, kFeature);
    return true;
}

}  // namespace vtrl
