// Fuzzes the PTP/IP packet decoders: whole-packet framing, then the body decoder of its type,
// and the same bytes read as a stream through the packet and data-phase readers.
#include <cstddef>
#include <cstdint>

#include "ptp/ptpip.h"
#include "ptp/ptpip_framing.h"

using namespace ptp;

namespace {

void DecodeBody(const Packet& packet) {
    InitCommandRequest request;
    InitCommandAck ack;
    InitEventRequest eventRequest;
    InitFail failure;
    OperationRequest operation;
    Operation response;
    StartData start;
    DataChunk chunk;
    uint32_t tid;
    switch (packet.type) {
    case PT_InitCommandRequest:
        DecodeInitCommandRequest(packet.body, request);
        break;
    case PT_InitCommandAck:
        DecodeInitCommandAck(packet.body, ack);
        break;
    case PT_InitEventRequest:
        DecodeInitEventRequest(packet.body, eventRequest);
        break;
    case PT_InitFail:
        DecodeInitFail(packet.body, failure);
        break;
    case PT_OperationRequest:
        DecodeOperationRequest(packet.body, operation);
        break;
    case PT_OperationResponse:
        DecodeOperationResponse(packet.body, response);
        break;
    case PT_Event:
        DecodeEvent(packet.body, response);
        break;
    case PT_StartData:
        DecodeStartData(packet.body, start);
        break;
    case PT_Data:
    case PT_EndData:
        if (DecodeDataChunk(packet.body, chunk) &&
            chunk.payloadOffset + chunk.payloadSize != packet.body.size())
            __builtin_trap();
        break;
    case PT_Cancel:
        DecodeCancel(packet.body, tid);
        break;
    default:
        break;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Packet packet;
    if (DecodePacket(data, size, packet))
        DecodeBody(packet);

    // The same bytes as a stream: packets one after another, a data phase among them.
    auto [writer, reader] = MakePipePair(size + 1);
    writer->Send(data, size);
    writer->Shutdown();
    for (int i = 0; i < 64; ++i) {
        PacketHeader header;
        if (ReadHeader(*reader, header, Deadline(0)) != Status::Ok)
            break;
        if (header.type == PT_StartData) {
            std::vector<uint8_t> body;
            StartData start;
            if (ReadBody(*reader, header, kMaxControlBody, body, Deadline(0)) != Status::Ok ||
                !DecodeStartData(body, start))
                break;
            uint64_t total = 0;
            DataPhaseResult result = ReceiveDataPhase(
                *reader, start.transactionId, start.totalLength,
                [&total](const uint8_t*, size_t n) {
                    total += n;
                    return true;
                },
                Deadline(0));
            if (total != result.received || result.received > start.totalLength)
                __builtin_trap();
            if (result.status != Status::Ok)
                break;
            continue;
        }
        Packet streamed;
        streamed.type = header.type;
        if (ReadBody(*reader, header, kMaxControlBody, streamed.body, Deadline(0)) != Status::Ok)
            break;
        DecodeBody(streamed);
    }
    return 0;
}
