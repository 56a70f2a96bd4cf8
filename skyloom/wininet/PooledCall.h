// The WinINet calls that may wait on the network for longer than a request
// has left, run on a thread of the system's pool while the caller waits at
// most until its deadline. Under Wine neither a call waiting for the reply's
// head (HttpSendRequestW) nor one waiting for the next body bytes
// (InternetQueryDataAvailable) is ended by closing its handle from another
// thread, and closing a request (InternetCloseHandle) reads the rest of a
// body of announced length, or a chunked one, before the connection goes,
// for as long as the server keeps sending. A call left behind at the
// deadline goes on in the pool; it owns the request's handles from then on
// and closes them once it returns.
//
// At most kMaxPooledCalls calls run at once in the process, however many
// servers hold them: a call that needs a thread while that many are busy
// waits for one until its deadline. A running call keeps the library loaded,
// so DeleteHttpFile and FreeLibrary never wait for one.
#pragma once

#include <windows.h>
#include <wininet.h>

namespace skyloom {

constexpr LONG kMaxPooledCalls = 4;

// The handles of one request, in the order they are closed.
struct Chain {
    HINTERNET request = nullptr;
    HINTERNET connection = nullptr;
    HINTERNET session = nullptr;
};

// Closes the handles of chain that are set, the request first, and clears
// them.
void CloseChain(Chain& chain);

enum class Waited {
    kReturned,  // the call returned in time; the handles are still the caller's
    kAbandoned, // it did not: the handles are the pool's now, the caller forgets them
    kNoThread,  // no thread came free in time: nothing was called
};

// HttpSendRequestW on chain.request with headers (null: none), waiting at
// most until the tick count until (GetTickCount64). error: 0 when it
// succeeded, else its error, once it has returned.
Waited SendWithin(const Chain& chain, const wchar_t* headers, ULONGLONG until, DWORD& error);

// InternetQueryDataAvailable on chain.request, likewise.
Waited QueryWithin(const Chain& chain, ULONGLONG until, DWORD& available, DWORD& error);

// Closes chain in the pool, so that the caller goes on at once however long
// WinINet reads; chain is cleared. Waits for a thread until the tick count
// until, and closes the handles here when none comes free by then.
void CloseAside(Chain& chain, ULONGLONG until);

} // namespace skyloom
