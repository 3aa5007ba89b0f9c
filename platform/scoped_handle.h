// The one owner for every handle and descriptor the program and its stand-in
// open: a traits type names the handle's type, which values are handles, the
// value an empty owner holds, and how a handle is closed; the owner closes
// what it holds on every way out of its scope, exactly once.
//
//   struct Traits {
//       using Handle = ...;
//       static bool IsValid(Handle h);  // h is a handle to close (a call's
//                                       // every failure value is not)
//       static Handle Invalid();        // what an empty owner holds
//       void Close(Handle h) const;     // h is always valid here
//   };
//
// Traits may carry state (the port that opened the handle, say); a static
// Close serves as well.
#pragma once

#include <cstdio>
#include <utility>

namespace vtrl {

template <typename Traits>
class ScopedHandle {
  public:
    using Handle = typename Traits::Handle;

    ScopedHandle() = default;
    explicit ScopedHandle(Handle handle, Traits traits = Traits())
        : traits_(std::move(traits)), handle_(handle) {}
    ~ScopedHandle() { Reset(); }

    ScopedHandle(const ScopedHandle&) = delete;
    ScopedHandle& operator=(const ScopedHandle&) = delete;
    ScopedHandle(ScopedHandle&& other) noexcept
        : traits_(std::move(other.traits_)), handle_(other.Release()) {}
    ScopedHandle& operator=(ScopedHandle&& other) noexcept {
        if (this != &other) {
            Reset();
            traits_ = std::move(other.traits_);
            handle_ = other.Release();
        }
        return *this;
    }

    Handle Get() const { return handle_; }
    bool Valid() const { return Traits::IsValid(handle_); }
    explicit operator bool() const { return Valid(); }

    // Gives up ownership: the handle is the caller's to close.
    Handle Release() {
        Handle handle = handle_;
        handle_ = Traits::Invalid();
        return handle;
    }
    // Closes what is held (if anything) and holds `handle` instead.
    void Reset(Handle handle = Traits::Invalid()) {
        if (Valid()) {
            traits_.Close(handle_);
        }
        handle_ = handle;
    }

  private:
    Traits traits_{};
    Handle handle_ = Traits::Invalid();
};

// A C stream of the stand-in's or a tool's own, closed with fclose (the
// program's files go through its file seam instead).
struct StdioFileTraits {
    using Handle = std::FILE*;
    static bool IsValid(const std::FILE* file) { return file != nullptr; }
    static std::FILE* Invalid() { return nullptr; }
    static void Close(std::FILE* file) { (void)std::fclose(file); }
};
using ScopedStdioFile = ScopedHandle<StdioFileTraits>;

}  // namespace vtrl
