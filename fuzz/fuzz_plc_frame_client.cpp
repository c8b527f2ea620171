// The link's side of the PLC protocol: whatever a runtime sends is split into frames and
// decoded; the link must never crash on it, and a message that decodes must encode back to the
// very same body (otherwise link and runtime would disagree about the format).
#include "plclink/PlcProtocol.h"

#include <cstdlib>

using namespace plcproto;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FrameReader reader;
    // Feed in two pieces so that frames split across reads are covered as well.
    const size_t half = size / 2;
    reader.append(reinterpret_cast<const char *>(data), qsizetype(half));
    QByteArray body;
    bool tail = false;
    for (;;) {
        const FrameReader::Result r = reader.next(body);
        if (r == FrameReader::Invalid)
            return 0;
        if (r == FrameReader::NeedMore) {
            if (tail)
                return 0;
            reader.append(reinterpret_cast<const char *>(data) + half, qsizetype(size - half));
            tail = true;
            continue;
        }
        const std::optional<Message> msg = decode(body);
        if (!msg)
            return 0; // the link drops the connection here
        // What the link accepts from a runtime: replies and pushes.
        const bool push = msg->type == MsgType::Notify || msg->type == MsgType::State;
        if (!push && !msg->reply)
            return 0;
        const QByteArray again = encode(*msg);
        if (again.mid(LengthSize) != body)
            std::abort();
    }
}
