#pragma once

// The one path on which a call reaches the engine (with the GIL released),
// and the process around the calls: signals, the interpreter's exit and
// os.fork(). Shared by both extension modules.
//
// Signals: a call on the main thread looks for them every 50 ms. While it
// waits for an adapter (holding none), Python's signal handlers run there,
// and may use the adapters themselves; one that raises ends the call with
// its exception. In the middle of a transaction only Ctrl+C is looked for:
// it ends the transaction cleanly, and SIGINT's handler runs once the
// adapter is free. Other handlers run when the call has returned.
//
// Exit: atexit functions and __del__ methods may still use the adapters. A
// wait for an adapter that a daemon thread holds gives up once the exit has
// spent EXIT_DAEMON_WAIT on such waits. When the interpreter is gone, the
// calls still running in daemon threads are cancelled, given EXIT_DRAIN to
// end, and every adapter no thread holds is closed; those threads never
// return to Python.
//
// Fork: os.fork() pauses the calls of other threads where they hold no lock
// of the HID stack (a call inside a Python target stays there), so that the
// child can open adapters. In the child every adapter of the parent ends.

#include "python/src/gilfree.h"

#include <pybind11/pybind11.h>

#include <cxxabi.h>

#include <atomic>
#include <chrono>
#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace pellanpy {

namespace py = pybind11;

class CPyAdapter;

// How long the exit's waits for adapters that daemon threads hold may take
// in all.
inline constexpr std::chrono::seconds EXIT_DAEMON_WAIT{5};
// How long the end of the exit waits for the calls of daemon threads to see
// their cancel.
inline constexpr std::chrono::seconds EXIT_DRAIN{2};

// The steps of os.fork() that a module takes part in, with the GIL released.
// Before: every call of another thread is paused; the module may wait until
// the deadline for its own locks. After, in the parent or the child. In the
// child the hook returns the serial numbers of the adapters that a thread of
// the parent was inside, in the middle of a report: their handles are left
// as they are.
enum class EForkStep {
    Before,
    InParent,
    InChild,
};
using ForkHook = std::function<std::vector<std::string>(
    EForkStep step, std::chrono::steady_clock::time_point deadline)>;

// Hooks the module into the interpreter's exit and os.fork(), and gives the
// session registry its wait hooks. Once per module, at import.
void InstallProcessHooks(ForkHook atFork = {});

// Raises RuntimeError when the calling thread is inside a Python target's
// callback: the adapter that called the target is busy with that very
// transaction, and using it from there would deadlock.
void CheckNotInTarget();

// Marks the calling thread as inside a Python target's callback of the
// simulated adapter whose count of such threads busy is (may be null). Its
// destruction waits while os.fork() copies the process.
class CTargetScope {
public:
    explicit CTargetScope(std::atomic<int>* busy);
    ~CTargetScope();
    CTargetScope(const CTargetScope&) = delete;
    CTargetScope& operator=(const CTargetScope&) = delete;

private:
    std::atomic<int>* m_busy;
};

// True once Python may no longer be entered from a thread that does not
// hold the GIL: the interpreter is finalizing or gone. Needs no GIL.
bool PythonEnding();

// Keeps the first error raised during the current call (a target's, or a
// signal handler's), for the caller to raise once the engine has returned.
// Needs the GIL.
void SetPendingError(py::object error);
// True while an error is kept for the current call: the call ends in it
// (a target's KeyboardInterrupt, for one), so the rest of a long series of
// transactions need not run. Needs no GIL.
bool HasPendingError();

// For an Adapter whose last Python reference went while its thread is
// inside a call (in a target's callback, or a signal handler): destroys it
// once that call has let go of its locks and released the GIL, and returns
// true. False, doing nothing, when the thread is in no call.
bool DeferRelease(CPyAdapter* adapter);

// The one way to the engine: runs the call with the GIL released and hands
// it the proof of that. On the main thread the call looks for signals (see
// above). An error kept during the call replaces whatever the call itself
// ended with. A daemon thread's call that ends while the interpreter is
// finalizing never returns to Python.
class CCallReleased {
public:
    // The call in progress on a thread; calls nest when a signal handler
    // runs inside a wait.
    struct SCall {
        SCall* outer = nullptr;
        PyThreadState* state = nullptr;
        bool mainThread = false;
        // A signal ended the call.
        bool interrupted = false;
        // SIGINT was taken from Python's flags to end a transaction; it is
        // given back when the call is over.
        bool sigintTaken = false;
        std::chrono::steady_clock::time_point nextSignalCheck;
    };

    template <typename R, typename F> static R Run(F&& call)
    {
        CCallReleased scope;
        std::exception_ptr failure;
        std::optional<R> result;
        try {
            result.emplace(call(scope.m_proof));
        } catch (abi::__forced_unwind&) {
            // The interpreter ends this thread as it exits.
            scope.Abandon();
        } catch (...) {
            failure = std::current_exception();
        }
        scope.Finish();
        scope.RaiseAfter(failure);
        return std::move(*result);
    }

    // For the exit and fork hooks alone: runs the step with the GIL
    // released, neither refused nor counted as a call.
    static void RunHook(const std::function<void(const CGilFree&)>& step);
    // At the very end of the exit, when no interpreter is left.
    static void RunWithoutInterpreter(const std::function<void(const CGilFree&)>& step);

    CCallReleased(const CCallReleased&) = delete;
    CCallReleased& operator=(const CCallReleased&) = delete;

private:
    // Refuses a call inside a target, counts it and releases the GIL.
    static SCall Begin();
    CCallReleased();
    ~CCallReleased() = default;
    // Releases what the call deferred, stops counting it and takes the GIL
    // back, or parks a daemon thread for good if the interpreter is going.
    void Finish();
    // After a forced unwind: stops counting the call and parks for good.
    [[noreturn]] void Abandon();
    // With the GIL: raises what the call ended with, after the handlers of
    // a signal it was ended by.
    void RaiseAfter(std::exception_ptr failure);

    SCall m_call;
    CGilFree m_proof;
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
