// What every transport shares: parameter lists, and the session steps of transports that leave
// the session to the session layer.
#include "ptp/transport.h"

#include <algorithm>

namespace ptp {

bool operator==(const Params& a, const std::vector<uint32_t>& b) {
    return a.valid() && std::equal(a.begin(), a.end(), b.begin(), b.end());
}

Status Transport::OpenSession(uint32_t, Response&, const Deadline&) {
    return Status::Error;
}

Status Transport::CloseSession(Response&, const Deadline&) {
    return Status::Error;
}

} // namespace ptp
