// The tests' fault seam for MultiByteToWideChar. Plain process-wide state:
// the plugin has no threads of its own and the host makes one call at a
// time, so the conversion path pays one integer test when the seam is off.
#include "platform/FaultSeam.h"

#include "platform/Platform.h"

namespace platform {

namespace {
// Calls still to go before the failing one; 0 when the seam is off.
int callsBeforeFailure = 0;
uint32_t failureCode = 0;
} // namespace

void FailMultiByteToWideCharCall(int count, uint32_t code) {
    callsBeforeFailure = count;
    failureCode = code;
}

bool seam::MultiByteToWideCharFails(uint32_t* code) {
    if (callsBeforeFailure <= 0 || --callsBeforeFailure != 0)
        return false;
    *code = failureCode;
    return true;
}

} // namespace platform
