// The portable PTP library's own walk of a PTP/IP camera's card, natively: every object's
// ObjectInfo, one round trip each. Prints "seconds N" (bench/bench.py reads it).
//   ptpip_walk HOST PORT
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "ptp/initiator.h"
#include "ptp/ptpip_transport.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: ptpip_walk HOST PORT\n");
        return 2;
    }
    const auto start = std::chrono::steady_clock::now();
    ptp::Initiator camera;
    std::vector<uint32_t> stores, handles;
    const auto port = static_cast<uint16_t>(std::atoi(argv[2]));
    bool ok = camera.Attach(ptp::PtpIpOverTcp(ptp::PtpIpConfig(), argv[1], port, 2000)).ok() &&
              camera.OpenSession(1).ok() && camera.GetStorageIDs(stores).ok() && !stores.empty() &&
              camera.GetObjectHandles(stores[0], 0, 0, handles).ok();
    for (size_t i = 0; ok && i < handles.size(); ++i) {
        ptp::ObjectInfo info;
        ok = camera.GetObjectInfo(handles[i], info).ok();
    }
    camera.CloseSession();
    camera.Shutdown();
    if (!ok) {
        std::fprintf(stderr, "the walk failed\n");
        return 1;
    }
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    std::printf("seconds %.6f\nobjects %zu\n", took.count(), handles.size());
    return 0;
}
