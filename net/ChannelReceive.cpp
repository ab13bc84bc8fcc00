// The receive thread: reads what arrives while no caller reads its own
// answer (unasked frames, late answers, the end of the medium), and reports
// a medium that failed.

#include "net/Channel.h"

namespace zorn {
namespace net {

void Channel::receiveLoop() {
    bool failed = false;
    while (running.load()) {
        ReaderSlot::Clock::duration left;
        if (reader_.callerActive(left)) {
            // Callers read their own answers: stand aside, without a wake-up
            // per request, until they have been quiet for the linger.
            pauseWhileRunning(left);
            continue;
        }
        uint32_t available = 0;
        int32_t r = waitForData(available);
        if (r == RESULT_OPERATION_TIMEOUT) continue;
        if (r < 0) {
            failed = true;
            break;
        }
        if (available == 0) continue;
        // Take the reader's place; a caller may have read these bytes since.
        ReaderSlot::Hold hold = reader_.acquireUntil(ReaderSlot::Clock::time_point::max());
        if (reader_.callerActive(left)) continue;
        const uint32_t announced = available;
        r = waitForDataFor(0, available);
        if (r == RESULT_OPERATION_NOT_SUPPORT) {
            r = RESULT_OK;  // no caller reads on this medium: the bytes are still there
            available = announced;
        } else if (r == RESULT_OPERATION_TIMEOUT || (r >= 0 && available == 0)) {
            continue;
        }
        if (r < 0 || !readAndDecode(available)) {
            failed = true;
            break;
        }
    }
    if (failed) {
        MessagePtr empty;
        dispatch(EVT_CHANNEL_BROKEN, empty);
    }
    statusBits.fetch_or(RX_STOPPED);
}

}  // namespace net
}  // namespace zorn
