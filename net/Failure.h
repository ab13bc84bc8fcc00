#pragma once

// Why a request failed, kept from where it happened (the medium, the
// framer, the base's answer, a signal) to where the console reports it. The
// result code, the exit status, the JSON "kind" and the words the console
// shows are all read off a Failure, so none of them is guessed afterwards.

#include <cstdint>
#include <new>
#include <string>
#include <type_traits>
#include <utility>

#include "net/Result.h"

namespace zorn {
namespace net {

enum class Cause : uint8_t {
    Timeout,        // no answer within the time-out, or a write that did not go out in time
    Refused,        // the base answered with an error code
    NotSupported,   // the base does not know the request (error code 0x8000)
    Corrupted,      // the answer came with a bad checksum
    InvalidAnswer,  // an answer came, of a size or content the request cannot use
    LinkClosed,     // the base closed the connection
    LinkFailed,     // the medium failed: a serial line gone, a socket error
    Interrupted,    // a signal cut the request short, or kept it from being written
    NotWritten,     // the request could not be written (the frame is too large, the write failed)
};

// No error code: the base's error answer carried none, or there was none.
constexpr int32_t NO_BASE_CODE = -1;

struct Failure {
    Cause cause = Cause::InvalidAnswer;
    // The code of the base's error answer (Refused, NotSupported).
    int32_t baseCode = NO_BASE_CODE;
    // errno of the medium (LinkFailed, NotWritten), 0 when none.
    int sysError = 0;
    // The request reached the medium, so the base may have acted on it.
    bool written = false;
    // A time-out's wait for the answer, ms; 0: the request core's 1000.
    int64_t waitedMs = 0;

    static Failure of(Cause cause, bool written = false) {
        Failure f;
        f.cause = cause;
        f.written = written;
        return f;
    }
    // The result code the console has always reported for the cause.
    int32_t result() const;
};

// The one table of causes: the result code the console has always reported
// for each, the "kind" a script reads in JSON, the short "error" text of a
// failure object, and the words a person reads in the log.
int32_t resultOf(Cause cause);
const char* kindOf(Cause cause);
const char* errorTextOf(Cause cause);
// The cause's own word ("timeout", "refused", "not_supported", "corrupted",
// "invalid_answer", "link_closed", "link_failed", "interrupted",
// "not_written"): finer than the kind, which two pairs of causes share.
const char* causeWordOf(Cause cause);
// The cause of a word of causeWordOf; false for any other text.
bool causeOfWord(const std::string& word, Cause& cause);
// "80008002: time-out: the base did not answer within 1000 ms", with the
// base's error code where there is one.
std::string describeFailure(const Failure& failure);
// The words alone, without the code: "the base refused the request (error
// code 7)".
std::string failureWords(const Failure& failure);

// A value or the Failure that kept it from being made.
template <class T>
class Outcome {
public:
    Outcome(const T& value) : ok_(true) { new (&storage_) T(value); }
    Outcome(T&& value) : ok_(true) { new (&storage_) T(std::move(value)); }
    Outcome(const Failure& failure) : ok_(false), failure_(failure) {}
    Outcome(const Outcome& other) : ok_(other.ok_), failure_(other.failure_) {
        if (ok_) new (&storage_) T(other.value());
    }
    Outcome& operator=(const Outcome& other) {
        if (this != &other) {
            destroy();
            ok_ = other.ok_;
            failure_ = other.failure_;
            if (ok_) new (&storage_) T(other.value());
        }
        return *this;
    }
    ~Outcome() { destroy(); }

    bool ok() const { return ok_; }
    explicit operator bool() const { return ok_; }
    const T& value() const { return *reinterpret_cast<const T*>(&storage_); }
    T& value() { return *reinterpret_cast<T*>(&storage_); }
    const T& operator*() const { return value(); }
    const T* operator->() const { return &value(); }
    // Meaningful only when !ok().
    const Failure& failure() const { return failure_; }
    // RESULT_OK, or the failure's result code.
    int32_t result() const { return ok_ ? RESULT_OK : failure_.result(); }

private:
    void destroy() {
        if (ok_) value().~T();
        ok_ = false;
    }
    bool ok_;
    Failure failure_;
    typename std::aligned_storage<sizeof(T), alignof(T)>::type storage_;
};

// An operation with nothing to return but whether it worked.
template <>
class Outcome<void> {
public:
    Outcome() : ok_(true) {}
    Outcome(const Failure& failure) : ok_(false), failure_(failure) {}
    bool ok() const { return ok_; }
    explicit operator bool() const { return ok_; }
    const Failure& failure() const { return failure_; }
    int32_t result() const { return ok_ ? RESULT_OK : failure_.result(); }

private:
    bool ok_;
    Failure failure_;
};

using Done = Outcome<void>;

}  // namespace net
}  // namespace zorn
