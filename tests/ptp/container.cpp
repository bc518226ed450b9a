// Generic container encoding: 12-byte header, then parameters or data payload.
#include "container.h"

#include "ptp/bytes.h"

namespace ptp {
namespace {

size_t MaxParams(uint16_t type) {
    switch (type) {
    case CT_Command:
    case CT_Response:
        return kMaxOperationParams;
    case CT_Event:
        return kMaxEventParams;
    default:
        return 0;
    }
}

} // namespace

bool EncodeContainer(const Container& container, std::vector<uint8_t>& out) {
    bool isData = container.type == CT_Data;
    if (!isData && (container.type < CT_Command || container.type > CT_Event))
        return false;
    if (!isData && container.params.size() > MaxParams(container.type))
        return false;
    uint64_t length =
        kContainerHeaderSize + (isData ? container.payload.size() : 4 * container.params.size());
    if (length > 0xFFFFFFFEu)
        return false;
    ByteWriter w(out);
    w.U32(static_cast<uint32_t>(length));
    w.U16(container.type);
    w.U16(container.code);
    w.U32(container.transactionId);
    if (isData) {
        w.Bytes(container.payload.data(), container.payload.size());
    } else {
        for (uint32_t p : container.params)
            w.U32(p);
    }
    return true;
}

bool DecodeContainer(const uint8_t* data, size_t size, Container& container) {
    ByteReader r(data, size);
    uint32_t length;
    container = Container();
    if (!r.U32(length) || !r.U16(container.type) || !r.U16(container.code) ||
        !r.U32(container.transactionId))
        return false;
    if (length < kContainerHeaderSize || length != size)
        return false;
    size_t body = length - kContainerHeaderSize;
    if (container.type == CT_Data) {
        container.payload.assign(r.current(), r.current() + body);
        return true;
    }
    if (container.type < CT_Command || container.type > CT_Event)
        return false;
    if (body % 4 != 0 || body / 4 > MaxParams(container.type))
        return false;
    container.params.resize(body / 4);
    for (uint32_t& p : container.params)
        r.U32(p);
    return r.ok();
}

} // namespace ptp
