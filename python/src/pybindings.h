#pragma once

// The bindings both extension modules share: the adapter API over the
// engine, whichever HID stack (the system's or the simulated one) the
// module is linked with; the one path on which calls release the GIL; the
// process's exit and fork; and the bookkeeping for simulated targets written
// in Python, whose errors surface in the call that reached them.

#include "python/src/gilfree.h"

#include <pybind11/pybind11.h>

#include <cstdint>
#include <exception>
#include <functional>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

namespace pellanpy {

namespace py = pybind11;

// The bytes of a bytes-like object or of an iterable of ints 0 to 255;
// raises TypeError or ValueError (naming what) otherwise.
std::vector<uint8_t> ToBytes(py::handle data, const char* what);

// Adds AdapterInfo, list_adapters and Adapter to the module, and hooks the
// module into the interpreter's exit and os.fork(). atExit runs at exit
// after every call has ended and every adapter is closed, with the GIL
// released; atFork runs around os.fork() (before: true, with the GIL
// released; after: false, in the parent and the child alike).
void DefineAdapterApi(py::module_& module, std::function<void(const CGilFree&)> atExit = {},
                      std::function<void(bool before)> atFork = {});

// Raises RuntimeError when the calling thread is inside a Python target's
// callback: the adapter that called the target is busy with that very
// transaction, and using it from there would deadlock.
void CheckNotInTarget();

// Marks the calling thread as inside a Python target's callback.
class CTargetScope {
public:
    CTargetScope();
    ~CTargetScope();
    CTargetScope(const CTargetScope&) = delete;
    CTargetScope& operator=(const CTargetScope&) = delete;
};

// True from the moment the interpreter's exit began: a call that is still
// running must not enter Python any more. Needs no GIL.
bool IsShuttingDown();

// Keeps the first error raised during the current call (a target's, or a
// KeyboardInterrupt), for the caller to raise once the engine has returned.
// Needs the GIL.
void SetPendingError(py::object error);
// Raises the kept error, if any, and forgets it. Needs the GIL.
void RaisePendingError();
// True while an error is kept for the current call: the call ends in it
// (a target's KeyboardInterrupt, for one), so the rest of a long series of
// transactions need not run. Needs no GIL.
bool HasPendingError();

// The one way to the engine: runs the call with the GIL released and hands
// it the proof of that. A call at exit is refused; one running then is
// cancelled and never takes the GIL back once the interpreter is going.
// The main thread's call checks for signals between reports, so Ctrl+C
// ends a long transfer soon. An error kept during the call replaces
// whatever the call itself ended with.
class CCallReleased {
public:
    template <typename R, typename F> static R Run(F&& call)
    {
        CCallReleased scope;
        std::exception_ptr failure;
        std::optional<R> result;
        try {
            result.emplace(call(scope.m_proof));
        } catch (...) {
            failure = Unwinding();
        }
        scope.Finish();
        RaisePendingError();
        if (failure)
            RethrowFailure(failure);
        return std::move(*result);
    }

    // For the exit and fork hooks alone: runs the step with the GIL
    // released, neither refused nor counted as a call.
    static void RunHook(const std::function<void(const CGilFree&)>& step);

    CCallReleased(const CCallReleased&) = delete;
    CCallReleased& operator=(const CCallReleased&) = delete;

private:
    CCallReleased();
    // Only when Finish did not run: leaves Python alone.
    ~CCallReleased();
    // Takes the GIL back, or parks the thread for good if the interpreter
    // has gone meanwhile.
    void Finish();
    // The failure of the call, unless the thread is being unwound by the
    // interpreter's exit, which must go on.
    static std::exception_ptr Unwinding();
    [[noreturn]] static void RethrowFailure(std::exception_ptr failure);

    // Refuses a call at exit, counts the call and releases the GIL; returns
    // the thread state to take it back with.
    static void* Begin();
    // A call at exit: the main thread's raises, another thread's never
    // returns.
    [[noreturn]] static void RefuseAtExit();

    void* m_state;
    CGilFree m_proof;
    bool m_finished = false;
};

template <typename F> auto CallReleased(F&& call)
{
    if constexpr (std::is_invocable_v<F&, const CGilFree&>) {
        using R = std::invoke_result_t<F&, const CGilFree&>;
        if constexpr (std::is_void_v<R>) {
            CCallReleased::Run<bool>([&](const CGilFree& proof) {
                call(proof);
                return true;
            });
        } else {
            return CCallReleased::Run<R>(call);
        }
    } else {
        using R = std::invoke_result_t<F&>;
        if constexpr (std::is_void_v<R>) {
            CCallReleased::Run<bool>([&](const CGilFree&) {
                call();
                return true;
            });
        } else {
            return CCallReleased::Run<R>([&](const CGilFree&) { return call(); });
        }
    }
}

} // namespace pellanpy
