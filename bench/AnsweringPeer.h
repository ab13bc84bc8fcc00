#pragma once

// The base played in-process for the round-trip benchmarks: a thread on one
// descriptor that frames what comes in and answers every status request.

#include <atomic>
#include <cstdint>
#include <thread>

#include "net/Framer.h"

namespace bench {

// Frames the incoming bytes with the console's own framer and answers every
// status request (command 0xF8, code 0x30) with STATUS_ANSWER_FRAME; other
// frames (the synchronisation frames, a request the benchmark wants left
// unanswered) are dropped. It wakes directly on input and on stop().
class AnsweringPeer : private zorn::net::FramerSink {
public:
    AnsweringPeer() = default;
    ~AnsweringPeer() override;
    AnsweringPeer(const AnsweringPeer&) = delete;
    AnsweringPeer& operator=(const AnsweringPeer&) = delete;

    // Starts serving fd (not owned). False when the wake descriptor cannot
    // be made.
    bool start(int fd);
    void stop();

    uint64_t answered() const { return answered_.load(); }
    // Requests other than status that came whole and were left unanswered.
    uint64_t unanswered() const { return unanswered_.load(); }
    // Bytes outside any frame, a frame that failed its checksum, or an I/O
    // failure.
    bool faulted() const { return faulted_.load(); }

private:
    void serve();
    void onFramerEvent(const zorn::net::FramerEvent& event) override;

    int fd_ = -1;
    int wake_ = -1;
    std::thread thread_;
    zorn::net::Framer framer_;
    std::atomic<bool> stopping_{false};
    std::atomic<uint64_t> answered_{0};
    std::atomic<uint64_t> unanswered_{0};
    std::atomic<bool> faulted_{false};
};

}  // namespace bench
