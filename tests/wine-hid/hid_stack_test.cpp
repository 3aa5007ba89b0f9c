// The USB link over the Windows HID backend, in process, against a real HID
// class stack (Wine's, with the virtual instruments fixture.sh installed):
// which handles a scan leaves open, and what it did to the one it holds.
// Run by usb_found.sh inside its prefix; VTRL_LAST_SERIAL names the serial
// number of the instrument enumerated last.
#include <gtest/gtest.h>

#include "platform/windows/win32.h"

#include <winternl.h>
// mingw's hidsdi.h declares hid.dll's functions without C linkage.
extern "C" {
#include <hidsdi.h>
}

#include <cstdlib>
#include <string>
#include <vector>

#include "link/hid_port.h"
#include "link/usb_link.h"

namespace vtrl {
namespace {

using QueryObject = NTSTATUS(NTAPI*)(HANDLE, int, void*, ULONG, ULONG*);

// Every handle of this process open on a HID collection (Wine names their
// device objects \Device\HID#...).
std::vector<HANDLE> OpenHidHandles() {
    static const auto query = reinterpret_cast<QueryObject>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryObject")));
    std::vector<HANDLE> found;
    for (ULONG_PTR value = 4; query != nullptr && value < 4096; value += 4) {
        HANDLE h = reinterpret_cast<HANDLE>(value);
        DWORD flags = 0;
        if (!GetHandleInformation(h, &flags)) {
            continue;
        }
        alignas(8) BYTE buffer[1024];
        ULONG length = 0;
        if (query(h, 1 /* ObjectNameInformation */, buffer, sizeof buffer, &length) != 0) {
            continue;
        }
        const auto* name = reinterpret_cast<const UNICODE_STRING*>(buffer);
        const std::wstring text(name->Buffer != nullptr ? name->Buffer : L"",
                                name->Length / sizeof(wchar_t));
        if (text.rfind(L"\\Device\\HID#", 0) == 0) {
            found.push_back(h);
        }
    }
    return found;
}

std::string Serial(HANDLE h) {
    wchar_t text[64] = {};
    if (!HidD_GetSerialNumberString(h, text, sizeof text - sizeof(wchar_t))) {
        return "";
    }
    std::string narrow;
    for (const wchar_t* p = text; *p != 0; ++p) {
        narrow.push_back(static_cast<char>(*p));
    }
    return narrow;
}

class HidStack : public ::testing::Test {
  protected:
    void SetUp() override {
        SetHidPort(&NativeHidPort());
        ResetUsbLink();
        const char* serial = std::getenv("VTRL_LAST_SERIAL");
        ASSERT_NE(serial, nullptr) << "VTRL_LAST_SERIAL is not set";
        last_serial_ = serial;
        for (int i = 0; i < kUsbIdentFieldCount; ++i) {
            fields_[i] = buffers_[i];
        }
    }
    void TearDown() override {
        ResetUsbLink();
        SetHidPort(nullptr);
    }
    std::string last_serial_;
    char buffers_[kUsbIdentFieldCount][80] = {};
    char* fields_[kUsbIdentFieldCount] = {};
};

// Wine's mouse and keyboard and the first instrument are opened by the scan
// and closed again; the instrument enumerated last stays open, its input
// buffer count lowered to the smallest the class driver takes (2).  A second
// scan closes the first one's handle; the link's reset closes the last.
TEST_F(HidStack, ScanHoldsOnlyTheLastInstrument) {
    ASSERT_TRUE(OpenHidHandles().empty());
    for (int scan = 0; scan < 2; ++scan) {
        ASSERT_TRUE(FindUSBDevice(fields_, 80)) << "scan " << scan;
        EXPECT_EQ(std::string(buffers_[3]), "Serial Number = " + last_serial_);
        const std::vector<HANDLE> open = OpenHidHandles();
        ASSERT_EQ(open.size(), 1u) << "scan " << scan;
        EXPECT_EQ(Serial(open[0]), last_serial_);
        ULONG buffers = 0;
        ASSERT_TRUE(HidD_GetNumInputBuffers(open[0], &buffers));
        EXPECT_EQ(buffers, 2u);
    }
    ResetUsbLink();
    EXPECT_TRUE(OpenHidHandles().empty());
}

}  // namespace
}  // namespace vtrl
