#pragma once

// The one lock-order rule of the package: no thread waits for an engine lock
// while it holds the GIL. A thread inside a transaction may need the GIL (a
// Python target, a signal check), so waiting for its lock with the GIL held
// would deadlock. Every engine lock therefore takes a CGilFree, which only
// the bindings' call-released path makes, after it has released the GIL.

namespace pellanpy {

class CCallReleased;

// Proof that the calling thread has released the GIL, valid for the call it
// was made for.
class CGilFree {
public:
    CGilFree(const CGilFree&) = delete;
    CGilFree& operator=(const CGilFree&) = delete;

private:
    friend class CCallReleased;
    // Checks the claim in debug builds.
    CGilFree();
    // When no interpreter is left, there is no GIL to check.
    struct SNoInterpreter {};
    explicit CGilFree(SNoInterpreter) {}
};

} // namespace pellanpy
