// The runtime's side of the PLC protocol: whatever a client sends is split into frames and
// decoded as requests; a request that decodes must encode back to the same body, and the
// reply built for it must be a frame the link's decoder takes.
#include "plclink/PlcProtocol.h"

#include <cstdlib>

using namespace plcproto;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FrameReader reader;
    reader.append(reinterpret_cast<const char *>(data), qsizetype(size));
    QByteArray body;
    while (reader.next(body) == FrameReader::Frame) {
        const std::optional<Message> req = decode(body);
        if (!req || req->reply || req->type == MsgType::Notify || req->type == MsgType::State)
            return 0; // the runtime drops such a client
        if (encode(*req).mid(LengthSize) != body)
            std::abort();
        Message reply;
        reply.type = req->type;
        reply.reply = true;
        reply.seq = req->seq;
        reply.handle = req->handle;
        reply.varType = req->varType;
        reply.value = req->value; // a Read reply echoes the kind of value a Write carried
        const QByteArray frame = encode(reply);
        if (frame.size() - LengthSize > qsizetype(MaxBody) || !decode(frame.mid(LengthSize)))
            std::abort();
    }
    return 0;
}
