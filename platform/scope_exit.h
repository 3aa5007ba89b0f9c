// A clean-up that runs on every way out of a scope, exactly once (LLVM's
// make_scope_exit): for what is no handle, such as an enumeration to end or
// links to give back.
//
//   const ScopeExit end_scan([&port] { port.EndEnumeration(); });
#pragma once

#include <utility>

namespace vtrl {

template <typename CleanUp>
class ScopeExit {
  public:
    explicit ScopeExit(CleanUp clean_up) : clean_up_(std::move(clean_up)) {}
    ~ScopeExit() { clean_up_(); }

    ScopeExit(const ScopeExit&) = delete;
    ScopeExit& operator=(const ScopeExit&) = delete;
    ScopeExit(ScopeExit&&) = delete;
    ScopeExit& operator=(ScopeExit&&) = delete;

  private:
    CleanUp clean_up_;
};

}  // namespace vtrl
