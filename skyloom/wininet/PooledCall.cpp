// A pooled call is a Job shared by the caller and the pool's thread, each
// holding a reference. Whoever of the two settles its state first decides
// who owns the handles: the thread, when the call returns, marks it
// returned and signals the caller; the caller, when its wait ends first,
// marks it abandoned, and the thread then closes the handles itself. When
// the system cannot start a pooled call (no memory, no thread), the call
// runs on the caller's thread, as it would without the pool.

#include "skyloom/wininet/PooledCall.h"

#include <cstdint>
#include <initializer_list>
#include <new>

namespace skyloom {
namespace {

// The threads calls may hold, for the whole process.
class Slots {
public:
    Slots() : semaphore_(CreateSemaphoreW(nullptr, kMaxPooledCalls, kMaxPooledCalls, nullptr)) {}
    ~Slots() {
        if (semaphore_ != nullptr) {
            CloseHandle(semaphore_);
        }
    }
    Slots(const Slots&) = delete;
    Slots& operator=(const Slots&) = delete;

    bool Usable() const { return semaphore_ != nullptr; }
    // Waits for a free slot until the tick count until.
    bool Take(ULONGLONG until) const;
    void Give() const { ReleaseSemaphore(semaphore_, 1, nullptr); }

private:
    HANDLE semaphore_;
};

const Slots slots;

// Milliseconds from now to the tick count until (0 once it has passed).
DWORD Until(ULONGLONG until) {
    const ULONGLONG now = GetTickCount64();
    return now < until ? static_cast<DWORD>(until - now) : 0;
}

bool Slots::Take(ULONGLONG until) const {
    return WaitForSingleObject(semaphore_, Until(until)) == WAIT_OBJECT_0;
}

enum class Call : uint8_t { kSend, kQuery, kClose };
enum : LONG { kRunning, kReturned, kAbandoned };

struct Job {
    Call call = Call::kClose;
    Chain chain;
    const wchar_t* headers = nullptr;
    DWORD available = 0;
    DWORD error = 0;
    HANDLE returned = nullptr; // signalled when the call has returned in time
    HMODULE module = nullptr;  // this library, held while the thread runs
    LONG state = kRunning;
    LONG references = 2;
};

void Release(Job* job) {
    if (InterlockedDecrement(&job->references) == 0) {
        if (job->returned != nullptr) {
            CloseHandle(job->returned);
        }
        delete job;
    }
}

// Makes job's call; its error (0: it succeeded).
DWORD Perform(Job& job) {
    BOOL done = TRUE;
    switch (job.call) {
    case Call::kSend:
        done = HttpSendRequestW(job.chain.request, job.headers, job.headers ? DWORD(-1) : 0,
                                nullptr, 0);
        break;
    case Call::kQuery:
        done = InternetQueryDataAvailable(job.chain.request, &job.available, 0, 0);
        break;
    case Call::kClose:
        CloseChain(job.chain);
        break;
    }
    if (done) {
        return 0;
    }
    const DWORD error = GetLastError();
    return error != 0 ? error : ERROR_INTERNET_INTERNAL_ERROR;
}

void CALLBACK Run(PTP_CALLBACK_INSTANCE instance, void* context) {
    Job* job = static_cast<Job*>(context);
    const HMODULE module = job->module;
    CallbackMayRunLong(instance);
    // A call the caller has stopped waiting for before it began is not made.
    if (job->call == Call::kClose ||
        InterlockedCompareExchange(&job->state, kRunning, kRunning) == kRunning) {
        job->error = Perform(*job);
    }
    if (job->call != Call::kClose) {
        if (InterlockedCompareExchange(&job->state, kReturned, kRunning) == kRunning) {
            SetEvent(job->returned);
        } else {
            CloseChain(job->chain); // the caller has stopped waiting
        }
    }
    Release(job);
    slots.Give();
    FreeLibraryWhenCallbackReturns(instance, module);
}

// Hands job to the pool, with a slot taken for it; false when no thread can
// take it (the slot is given back).
bool Start(Job* job) {
    if (GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                           reinterpret_cast<const wchar_t*>(&Run), &job->module)) {
        if (TrySubmitThreadpoolCallback(&Run, job, nullptr)) {
            return true;
        }
        FreeLibrary(job->module);
    }
    slots.Give();
    return false;
}

Waited CallWithin(Job& request, ULONGLONG until) {
    Job* job = slots.Usable() ? new (std::nothrow) Job(request) : nullptr;
    if (job != nullptr) {
        job->returned = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }
    if (job == nullptr || job->returned == nullptr) {
        if (job != nullptr) {
            delete job;
        }
        request.error = Perform(request);
        return Waited::kReturned;
    }
    if (!slots.Take(until)) {
        CloseHandle(job->returned);
        delete job;
        return Waited::kNoThread;
    }
    if (!Start(job)) {
        CloseHandle(job->returned);
        delete job;
        request.error = Perform(request);
        return Waited::kReturned;
    }
    const bool returned =
        WaitForSingleObject(job->returned, Until(until)) == WAIT_OBJECT_0 ||
        InterlockedCompareExchange(&job->state, kAbandoned, kRunning) == kReturned;
    if (returned) {
        request.available = job->available;
        request.error = job->error;
    }
    Release(job);
    return returned ? Waited::kReturned : Waited::kAbandoned;
}

} // namespace

void CloseChain(Chain& chain) {
    for (HINTERNET* handle : {&chain.request, &chain.connection, &chain.session}) {
        if (*handle != nullptr) {
            InternetCloseHandle(*handle);
        }
        *handle = nullptr;
    }
}

Waited SendWithin(const Chain& chain, const wchar_t* headers, ULONGLONG until, DWORD& error) {
    Job request;
    request.call = Call::kSend;
    request.chain = chain;
    request.headers = headers;
    const Waited waited = CallWithin(request, until);
    error = request.error;
    return waited;
}

Waited QueryWithin(const Chain& chain, ULONGLONG until, DWORD& available, DWORD& error) {
    Job request;
    request.call = Call::kQuery;
    request.chain = chain;
    const Waited waited = CallWithin(request, until);
    available = request.available;
    error = request.error;
    return waited;
}

void CloseAside(Chain& chain, ULONGLONG until) {
    Job* job = slots.Usable() ? new (std::nothrow) Job : nullptr;
    if (job != nullptr && slots.Take(until)) {
        job->chain = chain;
        if (Start(job)) {
            Release(job);
            chain = Chain();
            return;
        }
    }
    delete job;
    CloseChain(chain);
}

} // namespace skyloom
