#include "link/hid_port.h"

namespace vtrl {

namespace {

// The port in use before one is installed: a machine without HID interfaces.
class AbsentHidPort final : public HidPort {
  public:
    bool BeginEnumeration() override { return Fail(); }
    bool EnumerateInterface(uint32_t, std::string*) override { return Fail(); }
    void EndEnumeration() override {}
    HidHandle Open(const std::string&) override {
        Fail();
        return kNoHidHandle;
    }
    void Close(HidHandle) override {}
    bool GetAttributes(HidHandle, HidAttributes*) override { return Fail(); }
    bool GetNumInputBuffers(HidHandle, uint32_t*) override { return Fail(); }
    bool SetNumInputBuffers(HidHandle, uint32_t) override { return Fail(); }
    bool GetIndexedString(HidHandle, uint32_t, uint16_t*, size_t) override { return Fail(); }
    bool FlushQueue(HidHandle) override { return Fail(); }
    bool GetFeature(HidHandle, uint8_t*, size_t) override { return Fail(); }
    HidIoRecord CreateIoRecord() override { return kNoHidIoRecord; }
    void CloseIoRecord(HidIoRecord) override {}
    bool StartWrite(HidHandle, HidIoRecord, const uint8_t*, size_t,
                    uint32_t* transferred) override {
        *transferred = 0;
        return Fail();
    }
    bool StartRead(HidHandle, HidIoRecord, uint8_t*, size_t) override { return Fail(); }
    HidWait Wait(HidIoRecord, uint32_t) override { return HidWait::kFailed; }
    void CancelIo(HidHandle) override {}
    uint32_t LastError() override { return kHidErrorFileNotFound; }
    void Sleep(uint32_t) override {}

  private:
    static bool Fail() { return false; }
};

AbsentHidPort g_absent_port;
HidPort* g_port = nullptr;

}  // namespace

void SetHidPort(HidPort* port) {
    g_port = port;
}

HidPort& CurrentHidPort() {
    if (g_port != nullptr) {
        return *g_port;
    }
    return g_absent_port;
}

}  // namespace vtrl
