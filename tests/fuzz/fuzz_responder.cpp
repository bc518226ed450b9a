// Fuzzes the virtual camera's responder as a hostile initiator would, over in-memory pipes:
// byte 0 picks profile settings, byte 1 says how many of the next bytes go to the event
// connection, the rest go to the command connection, handshake and session alike. Unless
// byte 0 asks for them raw, the event bytes follow a correct Init Event Request, as an
// initiator sends it once the Ack has named the connection.
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "ptp/connection.h"
#include "ptp/ptpip.h"
#include "ptp/ptpip_framing.h"
#include "vcam/card.h"
#include "vcam/profile.h"
#include "vcam/responder.h"

namespace fs = std::filesystem;

namespace {

const fs::path& CardFolder() {
    static const fs::path folder =
        fs::temp_directory_path() / ("vcam-fuzz-" + std::to_string(getpid()));
    return folder;
}

// Every run starts from the same card: a file in the root and one in a folder.
void ResetCard() {
    std::error_code ignored;
    fs::remove_all(CardFolder(), ignored);
    fs::create_directories(CardFolder() / "DCIM", ignored);
    std::ofstream(CardFolder() / "readme.txt") << "camera card\n";
    std::ofstream(CardFolder() / "DCIM" / "IMG_0001.JPG") << "jpeg";
}

vcam::Profile ProfileOf(uint8_t flags) {
    vcam::Profile profile;
    profile.keepIncomplete = flags & 0x01;
    profile.writeProtected = flags & 0x02;
    profile.vendorFormats = !(flags & 0x04);
    profile.corruptRead = flags & 0x08;
    profile.cardPresent = !(flags & 0x10);
    profile.clusterSize = flags & 0x20 ? 512 : 32 * 1024;
    profile.objectPropList = flags & 0x80;
    return profile;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2)
        return 0;
    const uint8_t flags = data[0];
    const bool rawEvent = flags & 0x40;
    const size_t eventSize = std::min<size_t>(data[1], size - 2);
    const uint8_t* eventBytes = data + 2;
    const uint8_t* commandBytes = eventBytes + eventSize;
    const size_t commandSize = size - 2 - eventSize;

    ResetCard();
    vcam::Profile profile = ProfileOf(flags);
    vcam::Card card(CardFolder().string(), profile.capacity, profile.freeSpace);
    vcam::Responder responder(profile, card);
    responder.SetHandshakeTimeout(50);
    responder.SetPeerTimeout(10);
    responder.SetIdleTimeout(5);
    const size_t capacity = std::max<size_t>(size, 1u << 20); // every input fits at once
    auto command = ptp::MakePipePair(capacity);
    auto event = ptp::MakePipePair(capacity);
    command.first->Send(commandBytes, commandSize);

    std::thread initiator([&] {
        if (rawEvent) {
            event.first->Send(eventBytes, eventSize);
        } else {
            ptp::Packet ack;
            ptp::InitCommandAck decoded;
            if (ptp::ReadPacket(*command.first, ack, ptp::Deadline(1000)) == ptp::Status::Ok &&
                ack.type == ptp::PT_InitCommandAck &&
                ptp::DecodeInitCommandAck(ack.body, decoded)) {
                std::vector<uint8_t> hello;
                ptp::EncodeInitEventRequest({decoded.connectionNumber}, hello);
                event.first->Send(hello);
                event.first->Send(eventBytes, eventSize);
            }
        }
        // Whatever the camera answers is read and dropped until it closes.
        std::vector<uint8_t> answers(64 * 1024);
        size_t got = 0;
        ptp::Status status = ptp::Status::Ok;
        while (status == ptp::Status::Ok || status == ptp::Status::Timeout)
            status = command.first->ReceiveSome(answers.data(), answers.size(), got, 1000);
    });
    responder.Serve(*command.second, *event.second);
    initiator.join();
    return 0;
}
