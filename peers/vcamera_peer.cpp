// vcamera-peer: libgphoto2's virtual camera (libgphoto2_port/vusb/vcamera.c, from Debian's
// source package) as a PTP/IP camera on 127.0.0.1 whose card is a folder.
//   vcamera-peer --card DIR [--port N] [--quiet | --log FILE] [--idle-timeout S]
// The camera is made as libgphoto2's vusb port makes it (a Nikon D750), anew for each
// initiator as for each opening of the port; it reads its card once, when first made. Its
// bulk pipes are the bridge's; its interrupt pipe is polled while it waits and after each
// transfer. The first line printed names the port.
#include <cstdlib>
#include <string>
#include <vector>

#include "bridge.h"
#include "vcamera_port.h"

namespace {

const int kBulkIn = 0x81, kBulkOut = 0x02; // the endpoints vusb names

// Hands what the camera has written to its bulk-in pipe to the bridge.
void Drain(vcamera* camera, peers::Bridge& bridge) {
    std::vector<unsigned char> buffer(64 * 1024);
    int n;
    while ((n = camera->read(camera, kBulkIn, buffer.data(), static_cast<int>(buffer.size()))) > 0)
        if (bridge.WriteIn(buffer.data(), n) < 0)
            return;
}

// Events whose time has come.
void PollInterrupts(vcamera* camera, peers::Bridge& bridge) {
    unsigned char event[64];
    int n;
    while ((n = camera->readint(camera, event, sizeof event, 0)) > 0)
        bridge.WriteInterrupt(event, n);
}

} // namespace

int main(int argc, char** argv) {
    peers::Options options;
    if (!peers::ParseOptions(argc, argv, "vcamera-peer", false, options))
        return 2;
    std::string card = options.card;
    vcamera_card = &card[0];
    peers::Bridge bridge("libgphoto2 vcamera");
    if (!bridge.Start(options))
        return 1;
    std::vector<unsigned char> transfer(64 * 1024);
    while (bridge.Accept()) {
        vcamera* camera = vcamera_new(NIKON_D750);
        camera->init(camera);
        camera->open(camera, "vusb");
        bridge.onIdle = [&] { PollInterrupts(camera, bridge); };
        int n;
        while ((n = bridge.ReadOut(transfer.data(), static_cast<int>(transfer.size()))) >= 0) {
            if (n > 0)
                camera->write(camera, kBulkOut, transfer.data(), n);
            Drain(camera, bridge);
            PollInterrupts(camera, bridge);
        }
        bridge.onIdle = nullptr;
        camera->close(camera);
        camera->exit(camera);
        std::free(camera->inbulk);
        std::free(camera->outbulk);
        std::free(camera);
        bridge.Hangup();
    }
    return 0;
}
