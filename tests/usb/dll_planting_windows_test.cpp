// DLLs planted beside the program (this test's folder holds a hid.dll and a
// vtrlplanted.dll of the build's own, empty): hid.dll is taken from the
// system folder by its full path, and once the program has limited its DLL
// search, a DLL beside it is no longer found by name ("Dynamic-Link Library
// Security", https://learn.microsoft.com/en-us/windows/win32/dlls/dynamic-link-library-security).
#include <gtest/gtest.h>

#include <string>

#include "driver/dll_search.h"
#include "link/windows/hid_api.h"
#include "platform/windows/win32.h"

namespace vtrl {
namespace {

std::wstring ModulePath(HMODULE module) {
    wchar_t path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(module, path, MAX_PATH);
    return std::wstring(path, length < MAX_PATH ? length : 0);
}

TEST(PlantedDll, HidDllComesFromTheSystemFolder) {
    const HidApi& api = SystemHidApi();
    ASSERT_NE(api.get_hid_guid, nullptr);
    ASSERT_NE(api.get_caps, nullptr);
    HMODULE module = nullptr;
    ASSERT_TRUE(GetModuleHandleExW(
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
        reinterpret_cast<LPCWSTR>(reinterpret_cast<void*>(api.get_hid_guid)), &module));
    wchar_t folder[MAX_PATH] = {};
    ASSERT_NE(GetSystemDirectoryW(folder, MAX_PATH), 0u);
    EXPECT_EQ(_wcsicmp(ModulePath(module).c_str(), (std::wstring(folder) + L"\\hid.dll").c_str()),
              0);
}

TEST(PlantedDll, NotFoundBesideTheProgramOnceTheSearchIsLimited) {
    HMODULE planted = LoadLibraryW(L"vtrlplanted.dll");
    ASSERT_NE(planted, nullptr) << "the planted DLL is not beside the test";
    FreeLibrary(planted);

    const DllSearchLimits limits = LimitDllSearch();
    EXPECT_TRUE(limits.current_folder_removed);
    ASSERT_TRUE(limits.system_folder_only) << "this Windows has no SetDefaultDllDirectories";
    EXPECT_EQ(LoadLibraryW(L"vtrlplanted.dll"), nullptr);
    // The system's own DLLs are still found by name.
    HMODULE version = LoadLibraryW(L"version.dll");
    EXPECT_NE(version, nullptr);
    FreeLibrary(version);
}

}  // namespace
}  // namespace vtrl
