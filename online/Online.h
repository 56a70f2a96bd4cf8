// The binding to the online-service library and the download loop: load
// "Skyloom.dll" on first use, create its one download object, fetch each
// reply into the receive buffer in 4096-byte chunks, release both at unload.
#pragma once

#include "online/HttpFile.h"
#include "online/ReceiveBuffer.h"
#include "platform/Platform.h"

namespace online {

// The online library and its download object, owned by the search context.
struct Binding {
    platform::ModuleHandle library = nullptr;
    HttpFile* file = nullptr;

    Binding() = default;
    Binding(const Binding&) = delete;
    Binding& operator=(const Binding&) = delete;
    // Release: the object goes back to DeleteHttpFile, then the library is freed.
    ~Binding();
};

enum : int {
    kFetchOk = 0,
    kFetchMissingArgument = -20,
    kFetchOpenFailed = -16,
    kFetchReadFailed = -17,
    kFetchTooLarge = -18,
};

// The most bytes of one reply the download takes (online/HttpFile.h).
using ::kMaxReplyBytes;

// Loads the library and creates the download object when needed. 1 when the
// object is ready, 0 otherwise (no log entry when the library will not load).
int Prepare(Binding& binding);
// Opens address on the download object and reads the whole reply into buffer,
// ended by a zero byte. Returns kFetchOk or a negative status. Throws
// std::bad_alloc when the buffer cannot grow.
int Fetch(Binding& binding, ReceiveBuffer& buffer, const char16_t* address, const char16_t* word);
// The download loop on its own, for a given object: Open, Read in 4096-byte
// chunks into buffer, zero byte after the data, Close. Returns kFetchOk,
// kFetchOpenFailed, kFetchReadFailed, or kFetchTooLarge once more than
// kMaxReplyBytes arrive (reported as a failed read). Throws std::bad_alloc when the buffer
// cannot grow, after closing the object. Fetch uses it after its checks.
int Download(HttpFile& file, ReceiveBuffer& buffer, const char16_t* address);
// Release at unload (also done by ~Binding).
void Release(Binding& binding);

} // namespace online
