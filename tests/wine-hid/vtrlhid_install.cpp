// vtrlhid-install.exe: puts the virtual Vantrel instruments a test asks for
// into the Wine prefix it runs in (root-enumerated devices driven by
// vtrlhid.sys) and waits until their HID interfaces are up.
//
// Usage: vtrlhid-install.exe INF [INSTRUMENT...] [--timeout-ms N]
//   INSTRUMENT  release=R,pipe=NAME[,serial=S][,manufacturer=M][,product=P][,extras=0|1]
//               (extras=0: the driver leaves HidD_GetIndexedString and
//               HidD_FlushQueue unanswered)
// Devices already present with exactly these settings are kept (the driver
// reads its settings when a device starts); otherwise every instrument device
// is removed and the asked ones are made afresh.  No INSTRUMENT removes them all.
//
// Prints one line per HID interface in the order the system enumerates them
// (the order a HID scan meets them), N counting from 0:
//   N instrument release R serial S
//   N other VVVV:PPPP          (another device, its vendor and product ID)
// Exit status 0 once exactly the asked instruments are present; 1 when they
// did not come up in time; 2 for bad usage.
#include <windows.h>

#include <newdev.h>
#include <setupapi.h>
extern "C" {
#include <hidsdi.h>
}

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

const wchar_t kHardwareId[] = L"root\\vtrlhid";
const wchar_t kDeviceName[] = L"VTRLHID";
constexpr USHORT kVendorId = 0x7A3D;
constexpr USHORT kProductId = 0x05C1;
constexpr DWORD kInstanceChars = 200;
const GUID kNullGuid = {};

struct Settings {
    DWORD release = 2;
    std::wstring pipe;
    std::wstring manufacturer = L"Vantrel";
    std::wstring product = L"Vantrel Thermal Cycler";
    std::wstring serial = L"VT-0001";
    DWORD extras = 1;
    bool operator==(const Settings& o) const {
        return release == o.release && pipe == o.pipe && manufacturer == o.manufacturer &&
               product == o.product && serial == o.serial && extras == o.extras;
    }
};

std::wstring Widen(const std::string& s) {
    return std::wstring(s.begin(), s.end());
}

std::string Narrow(const std::wstring& s) {
    std::string out;
    for (wchar_t c : s) {
        out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    }
    return out;
}

bool ParseInstrument(const std::string& text, Settings* s) {
    size_t pos = 0;
    bool have_pipe = false;
    while (pos <= text.size()) {
        size_t end = text.find(',', pos);
        if (end == std::string::npos) {
            end = text.size();
        }
        const std::string field = text.substr(pos, end - pos);
        const size_t eq = field.find('=');
        if (eq == std::string::npos) {
            return false;
        }
        const std::string key = field.substr(0, eq);
        const std::string value = field.substr(eq + 1);
        if (key == "release" || key == "extras") {
            char* stop = nullptr;
            const unsigned long v = std::strtoul(value.c_str(), &stop, 0);
            if (value.empty() || *stop != '\0' || v > 0xFFFF) {
                return false;
            }
            (key == "release" ? s->release : s->extras) = static_cast<DWORD>(v);
        } else if (key == "pipe") {
            s->pipe = Widen(value);
            have_pipe = !value.empty();
        } else if (key == "serial") {
            s->serial = Widen(value);
        } else if (key == "manufacturer") {
            s->manufacturer = Widen(value);
        } else if (key == "product") {
            s->product = Widen(value);
        } else {
            return false;
        }
        pos = end + 1;
    }
    return have_pipe;
}

// A device information set that destroys itself.
class DeviceSet {
  public:
    explicit DeviceSet(HDEVINFO set) : set_(set) {}
    ~DeviceSet() {
        if (set_ != INVALID_HANDLE_VALUE) {
            SetupDiDestroyDeviceInfoList(set_);
        }
    }
    DeviceSet(const DeviceSet&) = delete;
    DeviceSet& operator=(const DeviceSet&) = delete;
    HDEVINFO get() const { return set_; }
    bool ok() const { return set_ != INVALID_HANDLE_VALUE; }

  private:
    HDEVINFO set_;
};

std::wstring ReadString(HKEY key, const wchar_t* name) {
    wchar_t buffer[256] = {};
    DWORD size = sizeof buffer - sizeof(wchar_t);
    DWORD type = 0;
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) !=
            ERROR_SUCCESS ||
        type != REG_SZ) {
        return L"";
    }
    return buffer;
}

DWORD ReadDword(HKEY key, const wchar_t* name, DWORD fallback) {
    DWORD value = 0;
    DWORD size = sizeof value;
    DWORD type = 0;
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) !=
            ERROR_SUCCESS ||
        type != REG_DWORD) {
        return fallback;
    }
    return value;
}

bool IsInstrumentDevice(HDEVINFO set, SP_DEVINFO_DATA* device) {
    wchar_t ids[512] = {};
    if (!SetupDiGetDeviceRegistryPropertyW(set, device, SPDRP_HARDWAREID, nullptr,
                                           reinterpret_cast<BYTE*>(ids), sizeof ids - 4, nullptr)) {
        return false;
    }
    for (const wchar_t* id = ids; *id != 0; id += wcslen(id) + 1) {
        if (_wcsicmp(id, kHardwareId) == 0) {
            return true;
        }
    }
    return false;
}

// The instrument devices registered now, ordered by instance.
std::vector<std::pair<std::wstring, Settings>> RegisteredInstruments() {
    std::vector<std::pair<std::wstring, Settings>> found;
    DeviceSet set(SetupDiGetClassDevsW(nullptr, L"ROOT", nullptr, DIGCF_ALLCLASSES));
    if (!set.ok()) {
        return found;
    }
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set.get(), i, &device); ++i) {
        if (!IsInstrumentDevice(set.get(), &device)) {
            continue;
        }
        wchar_t instance[kInstanceChars] = {};
        SetupDiGetDeviceInstanceIdW(set.get(), &device, instance, kInstanceChars, nullptr);
        Settings s;
        HKEY key =
            SetupDiOpenDevRegKey(set.get(), &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key != INVALID_HANDLE_VALUE) {
            s.release = ReadDword(key, L"Release", 2);
            s.extras = ReadDword(key, L"Extras", 1);
            s.pipe = ReadString(key, L"Pipe");
            s.manufacturer = ReadString(key, L"Manufacturer");
            s.product = ReadString(key, L"Product");
            s.serial = ReadString(key, L"SerialNumber");
            RegCloseKey(key);
        }
        found.emplace_back(instance, s);
    }
    std::sort(found.begin(), found.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    return found;
}

bool RemoveInstruments() {
    DeviceSet set(SetupDiGetClassDevsW(nullptr, L"ROOT", nullptr, DIGCF_ALLCLASSES));
    if (!set.ok()) {
        return false;
    }
    bool ok = true;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set.get(), i, &device); ++i) {
        if (IsInstrumentDevice(set.get(), &device) &&
            !SetupDiCallClassInstaller(DIF_REMOVE, set.get(), &device)) {
            std::fprintf(stderr, "vtrlhid-install: cannot remove a device (error %lu)\n",
                         GetLastError());
            ok = false;
        }
    }
    return ok;
}

bool SetString(HKEY key, const wchar_t* name, const std::wstring& value) {
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))) ==
           ERROR_SUCCESS;
}

bool SetDword(HKEY key, const wchar_t* name, DWORD value) {
    return RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                          sizeof value) == ERROR_SUCCESS;
}

bool AddInstrument(unsigned index, const Settings& s) {
    DeviceSet set(SetupDiCreateDeviceInfoList(nullptr, nullptr));
    if (!set.ok()) {
        return false;
    }
    wchar_t instance[64];
    swprintf(instance, 64, L"ROOT\\%ls\\%04u", kDeviceName, index);
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    if (!SetupDiCreateDeviceInfoW(set.get(), instance, &kNullGuid, nullptr, nullptr, 0, &device)) {
        std::fprintf(stderr, "vtrlhid-install: cannot create %ls (error %lu)\n", instance,
                     GetLastError());
        return false;
    }
    wchar_t ids[64] = {};
    wcscpy(ids, kHardwareId);  // a multi-string: the second terminator is already there
    if (!SetupDiSetDeviceRegistryPropertyW(
            set.get(), &device, SPDRP_HARDWAREID, reinterpret_cast<const BYTE*>(ids),
            static_cast<DWORD>((wcslen(ids) + 2) * sizeof(wchar_t))) ||
        !SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set.get(), &device)) {
        std::fprintf(stderr, "vtrlhid-install: cannot register %ls (error %lu)\n", instance,
                     GetLastError());
        return false;
    }
    HKEY key = SetupDiCreateDevRegKeyW(set.get(), &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, nullptr,
                                       nullptr);
    if (key == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "vtrlhid-install: no settings key for %ls (error %lu)\n", instance,
                     GetLastError());
        return false;
    }
    const bool ok =
        SetDword(key, L"Release", s.release) && SetDword(key, L"Extras", s.extras) &&
        SetString(key, L"Pipe", s.pipe) && SetString(key, L"Manufacturer", s.manufacturer) &&
        SetString(key, L"Product", s.product) && SetString(key, L"SerialNumber", s.serial);
    RegCloseKey(key);
    return ok;
}

// A HID interface present now; only instruments have a serial number read.
struct Present {
    USHORT vendor = 0;
    USHORT product = 0;
    DWORD release = 0;
    std::wstring serial;
    bool IsInstrument() const { return vendor == kVendorId && product == kProductId; }
};

// The HID interfaces present now (those that answer their attributes), in
// enumeration order.
std::vector<Present> PresentInstruments() {
    std::vector<Present> found;
    GUID guid;
    HidD_GetHidGuid(&guid);
    DeviceSet set(
        SetupDiGetClassDevsW(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
    if (!set.ok()) {
        return found;
    }
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set.get(), nullptr, &guid, i, &data); ++i) {
        DWORD size = 0;
        SetupDiGetDeviceInterfaceDetailW(set.get(), &data, nullptr, 0, &size, nullptr);
        std::vector<DWORD> buffer(size / sizeof(DWORD) + 2);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        if (!SetupDiGetDeviceInterfaceDetailW(set.get(), &data, detail, size, nullptr, nullptr)) {
            continue;
        }
        // No access asked: attribute and string queries need none, and a
        // device held by someone else still answers them.
        HANDLE h = CreateFileW(detail->DevicePath, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            continue;
        }
        HIDD_ATTRIBUTES a{};
        a.Size = sizeof a;
        if (HidD_GetAttributes(h, &a)) {
            Present p;
            p.vendor = a.VendorID;
            p.product = a.ProductID;
            p.release = a.VersionNumber;
            if (p.IsInstrument()) {
                wchar_t serial[128] = {};
                HidD_GetSerialNumberString(h, serial, sizeof serial - sizeof(wchar_t));
                p.serial = serial;
            }
            found.push_back(p);
        }
        CloseHandle(h);
    }
    return found;
}

bool Matches(const std::vector<Present>& present, const std::vector<Settings>& wanted) {
    std::vector<bool> used(wanted.size(), false);
    size_t instruments = 0;
    for (const Present& p : present) {
        if (!p.IsInstrument()) {
            continue;
        }
        ++instruments;
        bool found = false;
        for (size_t i = 0; i < wanted.size() && !found; ++i) {
            if (!used[i] && wanted[i].release == p.release && wanted[i].serial == p.serial) {
                used[i] = true;
                found = true;
            }
        }
        if (!found) {
            return false;
        }
    }
    return instruments == wanted.size();
}

bool WaitFor(const std::vector<Settings>& wanted, DWORD timeout_ms, std::vector<Present>* present) {
    const DWORD start = GetTickCount();
    for (;;) {
        *present = PresentInstruments();
        if (Matches(*present, wanted)) {
            return true;
        }
        if (GetTickCount() - start >= timeout_ms) {
            return false;
        }
        Sleep(20);
    }
}

bool Install(const std::wstring& inf, const std::vector<Settings>& wanted) {
    if (!RemoveInstruments()) {
        return false;
    }
    for (unsigned i = 0; i < wanted.size(); ++i) {
        if (!AddInstrument(i, wanted[i])) {
            return false;
        }
    }
    if (wanted.empty()) {
        return true;
    }
    BOOL reboot = FALSE;
    if (!UpdateDriverForPlugAndPlayDevicesW(nullptr, kHardwareId, inf.c_str(), INSTALLFLAG_FORCE,
                                            &reboot)) {
        std::fprintf(stderr, "vtrlhid-install: cannot install %ls (error %lu)\n", inf.c_str(),
                     GetLastError());
        return false;
    }
    return true;
}

int Usage() {
    std::fprintf(stderr,
                 "Usage: vtrlhid-install.exe INF "
                 "[release=R,pipe=NAME[,serial=S][,manufacturer=M][,product=P][,extras=0|1]]... "
                 "[--timeout-ms N]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        return Usage();
    }
    std::wstring inf;
    {
        wchar_t full[MAX_PATH];
        if (GetFullPathNameW(Widen(argv[1]).c_str(), MAX_PATH, full, nullptr) == 0) {
            return Usage();
        }
        inf = full;
    }
    std::vector<Settings> wanted;
    DWORD timeout_ms = 15000;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--timeout-ms" && i + 1 < argc) {
            timeout_ms = std::strtoul(argv[++i], nullptr, 10);
            continue;
        }
        Settings s;
        if (!ParseInstrument(arg, &s)) {
            std::fprintf(stderr, "vtrlhid-install: bad instrument \"%s\"\n", arg.c_str());
            return Usage();
        }
        wanted.push_back(s);
    }

    std::vector<Settings> registered;
    for (const auto& r : RegisteredInstruments()) {
        registered.push_back(r.second);
    }
    std::vector<Present> present;
    // Devices set up as asked come up with the prefix; making them again
    // would only cost time.
    bool up = !wanted.empty() && registered == wanted && WaitFor(wanted, timeout_ms, &present);
    if (!up) {
        if (!Install(inf, wanted)) {
            return 1;
        }
        up = WaitFor(wanted, timeout_ms, &present);
    }
    if (!up) {
        std::fprintf(stderr, "vtrlhid-install: the instruments asked for did not come up\n");
        return 1;
    }
    for (size_t i = 0; i < present.size(); ++i) {
        const Present& p = present[i];
        if (p.IsInstrument()) {
            std::printf("%u instrument release %lu serial %s\n", static_cast<unsigned>(i),
                        p.release, Narrow(p.serial).c_str());
        } else {
            std::printf("%u other %04x:%04x\n", static_cast<unsigned>(i), p.vendor, p.product);
        }
    }
    return 0;
}
