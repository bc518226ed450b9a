// What every transport shares: parameter lists.
#include "ptp/transport.h"

#include <algorithm>

namespace ptp {

bool operator==(const Params& a, const std::vector<uint32_t>& b) {
    return a.valid() && std::equal(a.begin(), a.end(), b.begin(), b.end());
}

} // namespace ptp
