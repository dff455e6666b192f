#include "python/src/pycall.h"

#include "python/src/pyadapter.h"
#include "python/src/pysession.h"

#include <cassert>
#include <condition_variable>
#include <csignal>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace pellanpy {

namespace {

using Clock = std::chrono::steady_clock;
using SCall = CCallReleased::SCall;

// How often the main thread's call looks for signals.
constexpr auto SIGNAL_CHECK_INTERVAL = std::chrono::milliseconds(50);
// How long os.fork() waits for the calls of other threads to pause.
constexpr auto FORK_WAIT = std::chrono::seconds(5);
// How often a waiting fork or exit looks at the counts again.
constexpr auto STATE_SLICE = std::chrono::milliseconds(10);

constexpr const char* EXITING = "the interpreter is exiting: the adapters are closed";

thread_local SCall* t_call = nullptr;
// The calls of this thread in progress, nested ones included.
thread_local int t_callDepth = 0;
thread_local int t_targetDepth = 0;
// -1 until the thread's first call asks; then whether it is a daemon thread.
thread_local int t_daemon = -1;
// A strong reference, taken and dropped with the GIL held.
thread_local PyObject* t_pendingError = nullptr;
thread_local std::vector<CPyAdapter*> t_deferred;

// Set as the interpreter's exit begins: from then on, waits for adapters
// that daemon threads hold share EXIT_DAEMON_WAIT, counted from the first.
std::atomic<bool> g_exitBegan{false};
std::atomic<Clock::rep> g_daemonWaitsEnd{0};
// Set when the interpreter is gone: every wait is cancelled, and no call on
// another thread returns to Python.
std::atomic<bool> g_shuttingDown{false};

// Threads inside a call; of them, those paused for os.fork() and those
// inside a Python target.
std::atomic<int> g_busyThreads{0};
std::atomic<int> g_paused{0};
std::atomic<int> g_inTargets{0};
std::atomic<bool> g_forkPending{false};
// Left alone at exit: a thread may still touch them.
std::mutex& g_stateMutex = *new std::mutex;
std::condition_variable& g_stateChanged = *new std::condition_variable;

std::atomic<unsigned long> g_mainThread{0};
ForkHook* g_atFork = nullptr;

// A call that may not come back for good: the process is about to end.
[[noreturn]] void Park()
{
    for (;;)
        std::this_thread::sleep_for(std::chrono::hours(1));
}

void NotifyForker()
{
    if (g_forkPending) {
        std::lock_guard lock(g_stateMutex);
        g_stateChanged.notify_all();
    }
}

void CallStarted()
{
    if (t_callDepth++ == 0)
        ++g_busyThreads;
}

void CallEnded()
{
    if (--t_callDepth == 0) {
        --g_busyThreads;
        NotifyForker();
    }
}

// A point of a call where it holds no lock of the HID stack: while
// os.fork() copies the process, the thread waits here, counted as paused.
void PauseForFork()
{
    if (!g_forkPending)
        return;
    std::unique_lock lock(g_stateMutex);
    ++g_paused;
    g_stateChanged.notify_all();
    g_stateChanged.wait(lock, [] { return !g_forkPending; });
    --g_paused;
}

// With the GIL; keeps any error that is set.
bool AskDaemon()
{
    if (PyThread_get_thread_ident() == g_mainThread)
        return false;
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    // A thread that can not tell is not one the interpreter waits for.
    bool daemon = true;
    if (PyObject* threading = PyImport_ImportModule("threading")) {
        if (PyObject* thread = PyObject_CallMethod(threading, "current_thread", nullptr)) {
            if (PyObject* flag = PyObject_GetAttrString(thread, "daemon")) {
                daemon = PyObject_IsTrue(flag) != 0;
                Py_DECREF(flag);
            }
            Py_DECREF(thread);
        }
        Py_DECREF(threading);
    }
    PyErr_Clear();
    PyErr_Restore(type, value, traceback);
    return daemon;
}

// The engine's and the registry's cancel check, on the thread of the call.
bool CallCancelled(bool holdsAdapter)
{
    if (g_shuttingDown.load(std::memory_order_relaxed))
        return true;
    PauseForFork();
    SCall* call = t_call;
    if (!call || !call->mainThread)
        return false;
    if (call->interrupted)
        return true;
    const Clock::time_point now = Clock::now();
    if (now < call->nextSignalCheck)
        return false;
    call->nextSignalCheck = now + SIGNAL_CHECK_INTERVAL;
    // The main thread may always take the GIL back: the interpreter's exit
    // runs on it, and no exit hook runs while it is inside a call.
    PyEval_RestoreThread(call->state);
    if (holdsAdapter) {
        // Ctrl+C alone, taken from Python's flags; SIGINT's handler runs once
        // the transaction has ended and the adapter is free.
        if (PyOS_InterruptOccurred()) {
            call->sigintTaken = true;
            call->interrupted = true;
        }
    } else if (PyErr_CheckSignals() != 0) {
        // The handlers ran here, where the call holds nothing; one raised.
        PyObject* type = nullptr;
        PyObject* value = nullptr;
        PyObject* traceback = nullptr;
        PyErr_Fetch(&type, &value, &traceback);
        PyErr_NormalizeException(&type, &value, &traceback);
        if (value && traceback)
            PyException_SetTraceback(value, traceback);
        Py_XDECREF(type);
        Py_XDECREF(traceback);
        if (value)
            SetPendingError(py::reinterpret_steal<py::object>(value));
        call->interrupted = true;
    }
    call->state = PyEval_SaveThread();
    return call->interrupted;
}

bool DaemonWaitsOver()
{
    if (!g_exitBegan)
        return false;
    const Clock::rep now = Clock::now().time_since_epoch().count();
    Clock::rep end = g_daemonWaitsEnd.load();
    if (end == 0) {
        const Clock::rep armed =
            now + std::chrono::duration_cast<Clock::duration>(EXIT_DAEMON_WAIT).count();
        if (g_daemonWaitsEnd.compare_exchange_strong(end, armed))
            end = armed;
    }
    return now >= end;
}

void RaisePendingError()
{
    PyObject* error = std::exchange(t_pendingError, nullptr);
    if (!error)
        return;
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error)), error);
    Py_DECREF(error);
    throw py::error_already_set();
}

void DropPendingError()
{
    Py_XDECREF(std::exchange(t_pendingError, nullptr));
}

// Adapters whose last reference went inside this thread's call.
void RunDeferred()
{
    while (!t_deferred.empty()) {
        std::vector<CPyAdapter*> adapters = std::move(t_deferred);
        t_deferred.clear();
        for (CPyAdapter* adapter : adapters)
            delete adapter;
    }
}

void ExitBegan()
{
    g_exitBegan = true;
}

// The end of the exit, after the interpreter: cancel what daemon threads
// still run, give it a moment, close every adapter no thread holds.
void FinalShutdown()
{
    if (g_shuttingDown.exchange(true))
        return;
    CCallReleased::RunWithoutInterpreter([](const CGilFree& proof) {
        const Clock::time_point deadline = Clock::now() + EXIT_DRAIN;
        while (g_busyThreads > 0 && Clock::now() < deadline)
            std::this_thread::sleep_for(STATE_SLICE);
        CPySessionRegistry::Instance().CloseAll(proof);
    });
}

void BeforeFork()
{
    if (g_shuttingDown)
        return;
    // The forking thread may itself be inside a call, or a target.
    const int ownCall = t_callDepth > 0 ? 1 : 0;
    const int ownTarget = t_targetDepth > 0 ? 1 : 0;
    CCallReleased::RunHook([&](const CGilFree& proof) {
        const Clock::time_point deadline = Clock::now() + FORK_WAIT;
        {
            std::unique_lock lock(g_stateMutex);
            g_forkPending = true;
            while (g_busyThreads - ownCall > g_paused + g_inTargets - ownTarget &&
                   Clock::now() < deadline)
                g_stateChanged.wait_for(lock, STATE_SLICE);
        }
        CPySessionRegistry::Instance().BeforeFork(deadline, proof);
        if (g_atFork && *g_atFork)
            (*g_atFork)(EForkStep::Before, deadline);
    });
}

void AfterForkInParent()
{
    if (g_shuttingDown)
        return;
    CCallReleased::RunHook([](const CGilFree&) {
        if (g_atFork && *g_atFork)
            (*g_atFork)(EForkStep::InParent, {});
        CPySessionRegistry::Instance().AfterForkInParent();
        {
            std::lock_guard lock(g_stateMutex);
            g_forkPending = false;
        }
        g_stateChanged.notify_all();
    });
}

void AfterForkInChild()
{
    if (g_shuttingDown)
        return;
    // The only thread of the child is the one that forked, and it is the
    // main thread now: Ctrl+C reaches its calls.
    g_mainThread = PyThread_get_thread_ident();
    t_daemon = -1;
    new (&g_stateMutex) std::mutex;
    new (&g_stateChanged) std::condition_variable;
    g_forkPending = false;
    g_busyThreads = t_callDepth > 0 ? 1 : 0;
    g_paused = 0;
    g_inTargets = t_targetDepth > 0 ? 1 : 0;
    CCallReleased::RunHook([](const CGilFree&) {
        std::vector<std::string> inside;
        if (g_atFork && *g_atFork)
            inside = (*g_atFork)(EForkStep::InChild, {});
        CPySessionRegistry::Instance().AfterForkInChild(inside);
    });
}

} // namespace

CGilFree::CGilFree()
{
    // The claim this proof makes; every engine lock relies on it.
    assert(!PyGILState_Check());
}

void InstallProcessHooks(ForkHook atFork)
{
    // Kept for the life of the process, like everything the exit may touch.
    g_atFork = new ForkHook(std::move(atFork));
    g_mainThread =
        py::module_::import("threading").attr("main_thread")().attr("ident").cast<unsigned long>();

    SPyWaitHooks hooks;
    hooks.cancelled = &CallCancelled;
    hooks.daemonThread = [] { return t_daemon > 0; };
    hooks.daemonWaitsOver = &DaemonWaitsOver;
    CPySessionRegistry::Instance().SetHooks(std::move(hooks));

    // The exit begins as the threading module shuts down, before the
    // interpreter waits for its threads and runs the atexit functions.
    const py::module_ threading = py::module_::import("threading");
    try {
        if (py::hasattr(threading, "_register_atexit"))
            threading.attr("_register_atexit")(py::cpp_function(&ExitBegan));
        else
            py::module_::import("atexit").attr("register")(py::cpp_function(&ExitBegan));
    } catch (py::error_already_set&) {
        // Imported while the exit is under way.
        ExitBegan();
    }
    // The adapters close after everything else, __del__ methods included.
    Py_AtExit(&FinalShutdown);
    py::module_::import("os").attr("register_at_fork")(
        py::arg("before") = py::cpp_function(&BeforeFork),
        py::arg("after_in_parent") = py::cpp_function(&AfterForkInParent),
        py::arg("after_in_child") = py::cpp_function(&AfterForkInChild));
}

void CheckNotInTarget()
{
    if (t_targetDepth > 0) {
        throw std::runtime_error("a simulated target's callbacks can not use the "
                                 "simulated adapters: its own adapter is in the middle of "
                                 "the transaction that called it");
    }
}

CTargetScope::CTargetScope(std::atomic<int>* busy) : m_busy(busy)
{
    ++t_targetDepth;
    ++g_inTargets;
    if (m_busy)
        ++*m_busy;
}

CTargetScope::~CTargetScope()
{
    // Still counted as inside: while fork() copies the process, the child
    // must know that this target's adapter is in use.
    if (g_forkPending) {
        std::unique_lock lock(g_stateMutex);
        g_stateChanged.wait(lock, [] { return !g_forkPending; });
    }
    if (m_busy)
        --*m_busy;
    --g_inTargets;
    --t_targetDepth;
}

bool PythonEnding()
{
    return g_shuttingDown || _Py_IsFinalizing();
}

void SetPendingError(py::object error)
{
    if (!t_pendingError)
        t_pendingError = error.release().ptr();
}

bool HasPendingError()
{
    return t_pendingError != nullptr;
}

bool DeferRelease(CPyAdapter* adapter)
{
    if (!t_call)
        return false;
    t_deferred.push_back(adapter);
    return true;
}

SCall CCallReleased::Begin()
{
    CheckNotInTarget();
    if (g_shuttingDown)
        throw std::runtime_error(EXITING);
    if (t_daemon < 0)
        t_daemon = AskDaemon() ? 1 : 0;
    SCall call;
    call.outer = t_call;
    call.mainThread = PyThread_get_thread_ident() == g_mainThread;
    call.nextSignalCheck = Clock::now() + SIGNAL_CHECK_INTERVAL;
    CallStarted();
    call.state = PyEval_SaveThread();
    return call;
}

CCallReleased::CCallReleased() : m_call(Begin())
{
    t_call = &m_call;
    // A call of many quick transactions may never wait long enough to ask
    // the cancel check: it pauses for fork() here, before it takes a lock.
    PauseForFork();
}

void CCallReleased::Finish()
{
    // With the call's locks let go and no GIL: what it deferred goes now.
    RunDeferred();
    t_call = m_call.outer;
    CallEnded();
    // A daemon thread at the end of the exit: silent until the process ends.
    if (!m_call.mainThread && PythonEnding())
        Park();
    try {
        PyEval_RestoreThread(m_call.state);
    } catch (abi::__forced_unwind&) {
        Park();
    }
}

void CCallReleased::Abandon()
{
    t_call = m_call.outer;
    CallEnded();
    Park();
}

void CCallReleased::RaiseAfter(std::exception_ptr failure)
{
    if (m_call.sigintTaken) {
        PyErr_SetInterruptEx(SIGINT);
        if (PyErr_CheckSignals() != 0) {
            DropPendingError();
            throw py::error_already_set();
        }
    }
    RaisePendingError();
    if (!failure)
        return;
    try {
        std::rethrow_exception(failure);
    } catch (const CI2cError& error) {
        if (error.Kind() != EOrvError::Cancelled)
            throw;
        // A call cancelled by the exit says so, not that it was cancelled.
        if (g_shuttingDown)
            throw std::runtime_error(EXITING);
        if (m_call.sigintTaken)
            throw CI2cError(EINTR, "interrupted by SIGINT, whose handler returned",
                            EOrvError::Cancelled);
        throw;
    }
}

void CCallReleased::RunHook(const std::function<void(const CGilFree&)>& step)
{
    PyThreadState* state = PyEval_SaveThread();
    std::exception_ptr failure;
    {
        const CGilFree proof;
        try {
            step(proof);
        } catch (...) {
            failure = std::current_exception();
        }
    }
    PyEval_RestoreThread(state);
    if (failure)
        std::rethrow_exception(failure);
}

void CCallReleased::RunWithoutInterpreter(const std::function<void(const CGilFree&)>& step)
{
    const CGilFree proof{CGilFree::SNoInterpreter{}};
    step(proof);
}

} // namespace pellanpy
