// Keeps the PC from going to sleep while the instrument's flash is being
// changed: a sleeping host in the middle of an erase or download leaves the
// instrument without a working program.
#pragma once

namespace vtrl {

// Holds the system awake from construction to destruction.  Guards nest: the
// system is held while at least one guard lives, and released when the last
// one goes.  A failure of the platform call is not an error for the caller
// (the upgrade goes on; the PC's power settings stay as they were).
// Guards are made and destroyed on the thread that runs the upgrade.
class KeepAwake {
  public:
    KeepAwake();
    ~KeepAwake();
    KeepAwake(const KeepAwake&) = delete;
    KeepAwake& operator=(const KeepAwake&) = delete;
    KeepAwake(KeepAwake&&) = delete;
    KeepAwake& operator=(KeepAwake&&) = delete;
};

// Platform layer (keep_awake_<platform>.cpp): asks the system to stay awake
// (true) or lets it sleep again (false).  Called only on the first guard's
// construction and the last guard's destruction.  True when the system took
// the request.
bool SetSystemKeepAwake(bool awake);

}  // namespace vtrl
