// Starting and stopping a channel: its threads, the pauses they take and
// the protocol's events it listens to.

#include "net/Channel.h"

#include "net/arch/SignalFreeThread.h"

namespace zorn {
namespace net {

Channel::Channel(Protocol* p)
    : protocol(p),
      running(false),
      statusBits(0),
      reader_(std::chrono::milliseconds(CALLER_LINGER_MS)),
      chunk_(std::make_unique<uint8_t[]>(MAX_CHUNK_SIZE)) {
    if (!protocol) return;
    protocol->reset();
    protocolHandlers_.push_back(protocol->subscribe(EVT_MESSAGE, this, &Channel::onProtocolMessage));
    protocolHandlers_.push_back(protocol->subscribe(EVT_BAD_FRAME, this, &Channel::onProtocolBadFrame));
}

Channel::~Channel() {
    stop();
    protocolHandlers_.clear();
}

void Channel::start() {
    std::lock_guard<std::mutex> g(lifecycle_);
    if (running.load()) return;
    clearInterrupt();
    running.store(true);
    const uint32_t bits = statusBits.load();
    // Signals are the main thread's: their handlers must cut its waits short.
    if (!(bits & TX_STOPPED)) txThread_ = startSignalFreeThread([this] { transmitLoop(); });
    if (bits & RX_STOPPED) return;
    rxThread_ = startSignalFreeThread([this] { receiveLoop(); });
}

void Channel::stop() {
    std::lock_guard<std::mutex> g(lifecycle_);
    if (!running.exchange(false)) return;
    wakePaused();
    {
        // Taken so that the transmit thread is either before its look at
        // `running` or already waiting when it is told.
        std::lock_guard<std::mutex> tx(txMutex_);
    }
    txReady_.notify_all();
    interruptWait();
    joinThread(txThread_);
    joinThread(rxThread_);
    // A caller reading its answer leaves within one slice; wait for it, so
    // the medium outlives every read (unless this very thread is the reader).
    if (!reader_.heldByThisThread()) {
        reader_.acquireUntil(std::chrono::steady_clock::now() + std::chrono::milliseconds(LOOP_WAIT_MS));
    }
    failQueued();
}

void Channel::joinThread(std::thread& t) {
    if (!t.joinable()) return;
    if (t.get_id() == std::this_thread::get_id()) t.detach();  // stop from inside a handler
    else t.join();
}

void Channel::pauseWhileRunning(std::chrono::steady_clock::duration d) {
    std::unique_lock<std::mutex> g(pauseMutex_);
    pauseCv_.wait_for(g, d, [this] { return !running.load(); });
}

void Channel::wakePaused() {
    {
        std::lock_guard<std::mutex> g(pauseMutex_);
    }
    pauseCv_.notify_all();
}

int32_t Channel::sync() {
    MessagePtr m;
    if (!protocol || !protocol->getSyncMessage(m) || !m) return 0;
    send(m);
    pauseWhileRunning(std::chrono::milliseconds(200));
    send(m);
    pauseWhileRunning(std::chrono::milliseconds(500));
    return 0;
}

}  // namespace net
}  // namespace zorn
