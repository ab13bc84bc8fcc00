#include "console/InterceptProtocol.h"

#include <cstdio>

#include "log/Log.h"
#include "app/JsonOutput.h"
#include "log/StandardOutput.h"
#include "net/Events.h"

namespace zorn {
namespace orbitane {
namespace test {

using namespace nivo::system::util;
using zorn::net::MessagePtr;

InterceptProtocol::InterceptProtocol(zorn::net::Protocol* inner) : inner_(inner) {
    for (uint32_t event : {zorn::net::EVT_MESSAGE, zorn::net::EVT_BAD_FRAME}) {
        inner_->addHandler(event, this, &InterceptProtocol::relay);
    }
}

int InterceptProtocol::relay(uint32_t event, zorn::net::MessageDispatcher*, MessagePtr& message) {
    dispatch(event, message);
    return 0;
}

bool InterceptProtocol::getSyncMessage(MessagePtr& out) { return inner_->getSyncMessage(out); }

void InterceptProtocol::reset() { inner_->reset(); }

void InterceptProtocol::decodeByte(uint8_t byte) {
    logInfo(LOG_SOURCE_INTERCEPT, "1 byte received: %02x", byte);
    inner_->decodeByte(byte);
}

void InterceptProtocol::decode(const uint8_t* data, uint16_t offset, uint16_t count) {
    logInfo(LOG_SOURCE_INTERCEPT, "%d bytes received:", count);
    dumpBytes(stdout, data + offset, count);
    inner_->decode(data, offset, count);
}

uint32_t InterceptProtocol::encodedSize(const MessagePtr& message) { return inner_->encodedSize(message); }

void InterceptProtocol::encode(const MessagePtr& message, uint8_t* out, uint32_t& size) {
    inner_->encode(message, out, size);
    logInfo(LOG_SOURCE_INTERCEPT, "Sending %d bytes:", static_cast<int>(size));
    dumpBytes(stdout, out, size);
}

void InterceptProtocol::dumpBytes(FILE* stream, const uint8_t* data, size_t count) {
    static const char HEX[] = "0123456789abcdef";
    std::string text;
    text.reserve(count * 4 + count / 16 * 2 + 2);
    for (size_t i = 0; i < count; ++i) {
        if (i % 16 == 0) {
            text += '\t';
        }
        text += HEX[data[i] >> 4];
        text += HEX[data[i] & 15];
        text += ' ';
        if (i % 4 == 3) {
            text += ' ';
        }
        if (i % 16 == 15) {
            text += '\n';
        }
    }
    if (count % 16 != 0) {
        text += '\n';
    }
    if (stream == stdout) {
        // In order with the log lines, and never blocking the channel for long.
        // With JSON Lines on, standard output carries only JSON: the dump
        // goes with the log lines to standard error.
        nivo::system::util::StandardOutput::instance().write(jsonOutput() ? 2 : 1, text);
        return;
    }
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fflush(stream);
}

}  // namespace test
}  // namespace orbitane
}  // namespace zorn
