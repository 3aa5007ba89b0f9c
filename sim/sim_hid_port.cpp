#include "sim/sim_hid_port.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "sim/instrument.h"

namespace vtrl::sim {

namespace {

class InstrumentModel final : public HidDeviceModel {
  public:
    InstrumentModel(Instrument& instrument, Clock& clock) : endpoint_(instrument, clock) {}
    bool OutputReport(const uint8_t* report, size_t length) override {
        return endpoint_.OutputReport(report, length);
    }
    bool InputReport(uint8_t* report, size_t length, uint64_t deadline_us) override {
        return endpoint_.InputReport(report, length, deadline_us);
    }
    bool FeatureReport(uint8_t* report, size_t length) override {
        return endpoint_.FeatureReport(report, length);
    }
    void FlushInput() override { endpoint_.FlushInput(); }

  private:
    UsbEndpoint endpoint_;
};

std::u16string Utf16(const char* text) {
    std::u16string out;
    for (const char* p = text; *p != '\0'; ++p) {
        out.push_back(static_cast<char16_t>(static_cast<unsigned char>(*p)));
    }
    return out;
}

}  // namespace

std::shared_ptr<HidDeviceModel> MakeInstrumentModel(Instrument& instrument, Clock& clock) {
    return std::make_shared<InstrumentModel>(instrument, clock);
}

SimHidPort::SimHidPort(Clock& clock) : clock_(clock) {}

SimHidPort::~SimHidPort() {
    // The link must not reach a port that is gone (its records die with it).
    if (&CurrentHidPort() == this) {
        SetHidPort(nullptr);
    }
}

int SimHidPort::AddDevice(SimHidDevice device) {
    devices_.push_back(std::move(device));
    return static_cast<int>(devices_.size()) - 1;
}

int SimHidPort::AddInstrument(Instrument& instrument, const std::string& path) {
    SimHidDevice device;
    device.path = path;
    device.attributes.vendor_id = 0x7A3D;
    device.attributes.product_id = 0x05C1;
    device.attributes.version_number = instrument.Config().usb_release;
    device.strings[1] = Utf16("Vantrel");
    device.strings[2] = Utf16("Vantrel Thermal Cycler");
    device.strings[3] = Utf16("VT-000001");
    device.model = MakeInstrumentModel(instrument, clock_);
    return AddDevice(std::move(device));
}

SimHidDevice& SimHidPort::Device(int index) {
    return devices_.at(static_cast<size_t>(index));
}

void SimHidPort::Unplug(int index) {
    Device(index).present = false;
}

int SimHidPort::DeviceOfHandle(HidHandle handle) const {
    auto it = handles_.find(handle);
    return it == handles_.end() ? -1 : it->second.device;
}

size_t SimHidPort::OpenHandleCount() const {
    return handles_.size();
}

std::vector<HidHandle> SimHidPort::OpenHandles() const {
    std::vector<HidHandle> out;
    for (const auto& entry : handles_) {
        out.push_back(entry.first);
    }
    return out;
}

void SimHidPort::FailEnumerations(uint32_t count) {
    fail_enumerations_ = count;
}

void SimHidPort::FailWrites(uint32_t count, uint32_t error) {
    fail_writes_ = count;
    fail_write_error_ = error;
}

void SimHidPort::FailFeatures(uint32_t count, uint32_t error) {
    fail_features_ = count;
    fail_feature_error_ = error;
}

void SimHidPort::FailReadWaits(uint32_t count, uint32_t error) {
    fail_read_waits_ = count;
    fail_read_wait_error_ = error;
}

void SimHidPort::SetWritesCompleteAtOnce(bool at_once) {
    writes_at_once_ = at_once;
}

void SimHidPort::ClearWritten() {
    written_.clear();
    last_written_.clear();
}

bool SimHidPort::Fail(uint32_t error) {
    last_error_ = error;
    return false;
}

SimHidDevice* SimHidPort::Usable(HidHandle handle) {
    auto it = handles_.find(handle);
    if (it == handles_.end()) {
        last_error_ = kHidErrorInvalidHandle;
        return nullptr;
    }
    SimHidDevice& device = devices_[static_cast<size_t>(it->second.device)];
    if (!device.present) {
        last_error_ = kHidErrorDeviceNotConnected;
        return nullptr;
    }
    return &device;
}

SimHidPort::Io* SimHidPort::Record(HidIoRecord record) {
    auto it = records_.find(record);
    if (it == records_.end()) {
        last_error_ = kHidErrorInvalidHandle;
        return nullptr;
    }
    return &it->second;
}

bool SimHidPort::BeginEnumeration() {
    ++counts_.enumerations;
    if (fail_enumerations_ > 0) {
        --fail_enumerations_;
        return Fail(kHidErrorGenFailure);
    }
    snapshot_.clear();
    for (const SimHidDevice& device : devices_) {
        if (device.present) {
            snapshot_.push_back(device.path);
        }
    }
    snapshot_open_ = true;
    return true;
}

bool SimHidPort::EnumerateInterface(uint32_t index, std::string* path) {
    if (!snapshot_open_ || index >= snapshot_.size()) {
        return Fail(kHidErrorNoMoreItems);
    }
    *path = snapshot_[index];
    return true;
}

void SimHidPort::EndEnumeration() {
    if (snapshot_open_) {
        ++counts_.enumerations_ended;
    }
    snapshot_open_ = false;
    snapshot_.clear();
}

HidHandle SimHidPort::Open(const std::string& path) {
    for (size_t i = 0; i < devices_.size(); ++i) {
        SimHidDevice& device = devices_[i];
        if (!device.present || device.path != path) {
            continue;
        }
        if (device.open_fails) {
            ++counts_.open_failures;
            Fail(kHidErrorAccessDenied);
            return kNoHidHandle;
        }
        HidHandle handle = next_handle_;
        next_handle_ += 4;
        handles_[handle] = Handle{static_cast<int>(i), device.input_buffers};
        ++counts_.opens;
        return handle;
    }
    ++counts_.open_failures;
    Fail(kHidErrorFileNotFound);
    return kNoHidHandle;
}

void SimHidPort::Close(HidHandle handle) {
    auto it = handles_.find(handle);
    if (it == handles_.end()) {
        ++counts_.bad_closes;
        return;
    }
    for (auto& entry : records_) {
        if (entry.second.handle == handle) {
            entry.second = Io{};
        }
    }
    handles_.erase(it);
    ++counts_.closes;
}

bool SimHidPort::GetAttributes(HidHandle handle, HidAttributes* attributes) {
    ++counts_.attribute_reads;
    SimHidDevice* device = Usable(handle);
    if (device == nullptr) {
        return false;
    }
    if (device->attributes_fail) {
        return Fail(kHidErrorGenFailure);
    }
    *attributes = device->attributes;
    return true;
}

bool SimHidPort::GetCaps(HidHandle handle, HidCaps* caps) {
    SimHidDevice* device = Usable(handle);
    if (device == nullptr) {
        return false;
    }
    if (device->caps_fail) {
        return Fail(kHidErrorInvalidParameter);
    }
    *caps = device->caps;
    return true;
}

bool SimHidPort::GetNumInputBuffers(HidHandle handle, uint32_t* count) {
    SimHidDevice* device = Usable(handle);
    if (device == nullptr) {
        return false;
    }
    if (device->get_input_buffers_fails) {
        return Fail(kHidErrorNotSupported);
    }
    *count = handles_[handle].input_buffers;
    return true;
}

bool SimHidPort::SetNumInputBuffers(HidHandle handle, uint32_t count) {
    ++counts_.set_input_buffers;
    SimHidDevice* device = Usable(handle);
    if (device == nullptr) {
        return false;
    }
    if (count < device->min_input_buffers || count > 512) {
        return Fail(kHidErrorInvalidParameter);
    }
    handles_[handle].input_buffers = count;
    return true;
}

bool SimHidPort::GetIndexedString(HidHandle handle, uint32_t index, uint16_t* buffer,
                                  size_t buffer_bytes) {
    ++counts_.string_reads;
    SimHidDevice* device = Usable(handle);
    if (device == nullptr) {
        return false;
    }
    if (index >= device->strings.size() || !device->strings[index]) {
        return Fail(kHidErrorInvalidParameter);
    }
    // As hid.dll does: the string as far as it fits, 0-terminated only when room is left.
    const std::u16string& text = *device->strings[index];
    size_t units = buffer_bytes / 2;
    size_t n = std::min(units, text.size());
    for (size_t i = 0; i < n; ++i) {
        buffer[i] = static_cast<uint16_t>(text[i]);
    }
    if (n < units) {
        buffer[n] = 0;
    }
    return true;
}

bool SimHidPort::FlushQueue(HidHandle handle) {
    ++counts_.flushes;
    SimHidDevice* device = Usable(handle);
    if (device == nullptr) {
        return false;
    }
    if (device->model) {
        device->model->FlushInput();
    }
    return true;
}

bool SimHidPort::GetFeature(HidHandle handle, uint8_t* report, size_t length) {
    ++counts_.feature_fetches;
    SimHidDevice* device = Usable(handle);
    if (device == nullptr) {
        return false;
    }
    if (fail_features_ > 0) {
        --fail_features_;
        return Fail(fail_feature_error_);
    }
    if (!device->model || !device->model->FeatureReport(report, length)) {
        return Fail(kHidErrorGenFailure);
    }
    return true;
}

HidIoRecord SimHidPort::CreateIoRecord() {
    HidIoRecord record = next_record_++;
    records_[record] = Io{};
    ++counts_.io_records;
    return record;
}

void SimHidPort::CloseIoRecord(HidIoRecord record) {
    if (records_.erase(record) > 0) {
        --counts_.io_records;
    }
}

bool SimHidPort::StartWrite(HidHandle handle, HidIoRecord record, const uint8_t* report,
                            size_t length, uint32_t* transferred) {
    ++counts_.writes;
    *transferred = 0;
    Io* io = Record(record);
    SimHidDevice* device = Usable(handle);
    if (io == nullptr || device == nullptr) {
        return false;
    }
    last_written_.assign(report, report + length);
    written_.push_back(last_written_);
    *io = Io{};
    io->kind = Io::Kind::kWrite;
    io->handle = handle;
    if (fail_writes_ > 0) {
        --fail_writes_;
        if (fail_write_error_ == kHidErrorIoPending) {
            io->never_completes = true;
        }
        return Fail(fail_write_error_);
    }
    if (!device->model || !device->model->OutputReport(report, length)) {
        *io = Io{};
        return Fail(kHidErrorGenFailure);
    }
    io->completed = true;
    if (writes_at_once_) {
        *transferred = static_cast<uint32_t>(length);
        return true;
    }
    return Fail(kHidErrorIoPending);
}

bool SimHidPort::StartRead(HidHandle handle, HidIoRecord record, uint8_t* report, size_t length) {
    ++counts_.reads;
    Io* io = Record(record);
    SimHidDevice* device = Usable(handle);
    if (io == nullptr || device == nullptr) {
        return false;
    }
    if (io->kind == Io::Kind::kRead && !io->completed) {
        ++counts_.overlapping_reads;
    }
    *io = Io{};
    io->kind = Io::Kind::kRead;
    io->handle = handle;
    io->buffer = report;
    io->length = length;
    return Fail(kHidErrorIoPending);
}

HidWait SimHidPort::Wait(HidIoRecord record, uint32_t timeout_ms) {
    ++counts_.waits;
    Io* io = Record(record);
    if (io == nullptr) {
        return HidWait::kFailed;
    }
    const uint64_t deadline = clock_.NowUs() + uint64_t{timeout_ms} * 1000;
    auto it = handles_.find(io->handle);
    SimHidDevice* device =
        it == handles_.end() ? nullptr : &devices_[static_cast<size_t>(it->second.device)];
    if (io->kind != Io::Kind::kNone && !io->completed && device != nullptr && !device->present) {
        // Pulled out: the read or write under way ends at once with the error.
        *io = Io{};
        Fail(kHidErrorDeviceNotConnected);
        return HidWait::kFailed;
    }
    if (io->kind == Io::Kind::kRead && !io->completed) {
        if (fail_read_waits_ > 0) {
            --fail_read_waits_;
            Fail(fail_read_wait_error_);
            return HidWait::kFailed;
        }
        if (device != nullptr && device->model &&
            device->model->InputReport(io->buffer, io->length, deadline)) {
            io->kind = Io::Kind::kNone;
            return HidWait::kSignalled;
        }
        if (clock_.NowUs() < deadline) {
            clock_.SleepUs(deadline - clock_.NowUs());
        }
        return HidWait::kTimedOut;
    }
    if (io->kind == Io::Kind::kWrite && io->completed) {
        // Auto-reset: the event is taken by this wait.
        io->kind = Io::Kind::kNone;
        io->completed = false;
        return HidWait::kSignalled;
    }
    // Nothing under way (or a write that never completes): the event stays clear.
    clock_.SleepUs(deadline - clock_.NowUs());
    return HidWait::kTimedOut;
}

void SimHidPort::CancelIo(HidHandle handle) {
    ++counts_.cancels;
    for (auto& entry : records_) {
        if (entry.second.handle == handle) {
            entry.second = Io{};
        }
    }
}

}  // namespace vtrl::sim
