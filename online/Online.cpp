#include "online/Online.h"

#include "basiccpp/Log.h"
#include "plugin/ReportSites.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace online {

namespace {

constexpr uint32_t kChunk = 4096;
static_assert(kMaxReplyBytes % kChunk == 0, "the bound falls between chunks");
// The terminator and the bytes a parser may still look at behind it.
constexpr size_t kTerminatorRun = 4;
static_assert(kTerminatorRun <= ReceiveBuffer::kSlack + 1, "the run always fits");
static_assert(ReceiveBuffer::kStep == kChunk, "the buffer grows by one chunk at a time");

template <typename Function> Function Symbol(platform::ModuleHandle library, const char* name) {
    return reinterpret_cast<Function>(platform::FindSymbol(library, name));
}

} // namespace

Binding::~Binding() {
    Release(*this);
}

int Prepare(Binding& binding) {
    if (binding.file)
        return 1;
    if (!binding.library) {
        // Not found yet: nothing is logged, and the next search tries again.
        binding.library = platform::LoadModule(u"Skyloom.dll");
        if (!binding.library)
            return 0;
    }
    // Created on the first search, and tried again on each later search while
    // there is none: a missing CreateHttpFile is reported every time, a
    // creation that gave no object may have failed for a passing reason (the
    // library logs its own failures to the log it is given).
    const auto create = Symbol<CreateHttpFileFn>(binding.library, "CreateHttpFile");
    if (!create) {
        ReportAssert(0, reportsite::kPluginFile, reportsite::kLineOnlineNoCreate);
        return 0;
    }
    binding.file = create(0, basiccpp::GetLog());
    return binding.file ? 1 : 0;
}

int Fetch(Binding& binding, ReceiveBuffer& buffer, const char16_t* address, const char16_t* word) {
    if (!address || !word) {
        ReportAssert(0, reportsite::kPluginFile, reportsite::kLineOnlineNoArgument);
        return kFetchMissingArgument;
    }
    // Without an object there is nothing to open (Prepare has failed).
    if (!binding.file)
        return kFetchOpenFailed;
    return Download(*binding.file, buffer, address);
}

int Download(HttpFile& file, ReceiveBuffer& buffer, const char16_t* address) {
    if (file.Open(address, kGenericRead, kFileShareRead, kOpenExisting, kFileAttributeNormal) < 0) {
        file.Close();
        return kFetchOpenFailed;
    }
    // Invariant: offset + kChunk <= buffer.size(), so every read lands inside.
    size_t offset = 0;
    uint32_t count;
    for (;;) {
        count = 0;
        const int32_t status = file.Read(buffer.data() + offset, kChunk, &count);
        // A count above what was asked for cannot be trusted: the bytes it
        // claims are not in the buffer.
        if (status < 0 || count > kChunk) {
            ReportAssert(0, reportsite::kPluginFile, reportsite::kLineOnlineReadFailed);
            file.Close();
            return kFetchReadFailed;
        }
        // A reply past the bound is not taken: the reader never sees it, and
        // the buffer stays within kMaxReplyBytes plus one chunk.
        if (offset + count > kMaxReplyBytes) {
            ReportAssert(0, reportsite::kPluginFile, reportsite::kLineOnlineReadFailed);
            file.Close();
            return kFetchTooLarge;
        }
        if (count != kChunk)
            break;
        offset += kChunk;
        if (offset >= buffer.size()) {
            try {
                buffer.Grow();
            } catch (...) {
                file.Close();
                throw;
            }
        }
    }
    // The last read was short, so the terminator is inside the buffer. A
    // parser stepping over a cut multibyte sequence at the end may look up to
    // three bytes past it: those are zeroed too (past size() the slack is
    // always zero), so no byte of an earlier, longer reply is read as part
    // of this one.
    const size_t end = offset + count;
    std::memset(buffer.data() + end, 0, std::min<size_t>(kTerminatorRun, buffer.size() - end));
    file.Close();
    return kFetchOk;
}

void Release(Binding& binding) {
    // No Close first: every Fetch has closed the object already.
    if (binding.library && binding.file) {
        if (const auto destroy = Symbol<DeleteHttpFileFn>(binding.library, "DeleteHttpFile"))
            destroy(binding.file);
    }
    binding.file = nullptr;
    if (binding.library) {
        platform::FreeModule(binding.library);
        binding.library = nullptr;
    }
}

} // namespace online
