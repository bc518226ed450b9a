// Shared fixtures: temporary card folders, and a virtual camera session over in-memory pipes
// driven by the real initiator.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <random>
#include <thread>

#include "ptp/initiator.h"
#include "ptp/ptpip.h"
#include "ptp/ptpip_transport.h"
#include "vcam/card.h"
#include "vcam/profile.h"
#include "vcam/responder.h"

namespace vcamtest {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

// A fresh folder under the system's temporary folder, removed with everything in it.
class TempFolder {
  public:
    TempFolder() {
        static std::atomic<int> counter{0};
        std::random_device random;
        path = fs::temp_directory_path() /
               ("vcam-test-" + std::to_string(random()) + "-" + std::to_string(counter++));
        fs::create_directories(path);
    }
    ~TempFolder() {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
    void Write(const std::string& relative, const Bytes& bytes) const {
        fs::create_directories((path / relative).parent_path());
        std::ofstream file(path / relative, std::ios::binary);
        file.write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    }
    Bytes Read(const std::string& relative) const {
        std::ifstream file(path / relative, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    }
    // Every file and folder, relative, sorted; temporary files included.
    std::vector<std::string> List() const {
        std::vector<std::string> names;
        for (auto& entry : fs::recursive_directory_iterator(path))
            names.push_back(fs::relative(entry.path(), path).generic_string());
        std::sort(names.begin(), names.end());
        return names;
    }
    std::string str() const { return path.string(); }

    fs::path path;
};

inline Bytes Pattern(size_t size, unsigned seed = 1) {
    Bytes bytes(size);
    std::mt19937 generator(seed);
    for (auto& b : bytes)
        b = static_cast<uint8_t>(generator());
    return bytes;
}

inline ptp::DataOut FromBytes(const Bytes& bytes, size_t* offset) {
    ptp::DataOut out;
    out.size = bytes.size();
    out.read = [&bytes, offset](uint8_t* buffer, size_t count) {
        std::copy(bytes.begin() + *offset, bytes.begin() + *offset + count, buffer);
        *offset += count;
        return true;
    };
    return out;
}

// A responder on its own thread over pipes, and the initiator connected to it; over a card of
// its own, or over one that outlives it.
class CameraSession {
  public:
    CameraSession(const vcam::Profile& profile, const std::string& folder, bool open = true)
        : CameraSession(profile, *new vcam::Card(folder, profile.capacity, profile.freeSpace), open,
                        true) {}
    CameraSession(const vcam::Profile& profile, vcam::Card& card, bool open = true,
                  bool ownsCard = false)
        : ownCard(ownsCard ? &card : nullptr), card(card), responder(profile, card) {
        auto command = ptp::MakePipePair();
        auto event = ptp::MakePipePair();
        cameraCommand = std::move(command.second);
        cameraEvent = std::move(event.second);
        camera = std::thread([this] { served = responder.Serve(*cameraCommand, *cameraEvent); });
        ptp::InitiatorConfig config;
        config.timeoutMs = 3000;
        host.reset(new ptp::Initiator(config));
        host->SetEventHandler([this](const ptp::Event& e) {
            std::lock_guard<std::mutex> lock(mutex);
            events.push_back(e);
            changed.notify_all();
        });
        host->SetLostHandler([this](ptp::Link, ptp::Status) {
            std::lock_guard<std::mutex> lock(mutex);
            lost = true;
            changed.notify_all();
        });
        ptp::ConnectionPtr hostEvent = std::move(event.first);
        ptp::PtpIpConfig ptpip;
        ptpip.timeoutMs = config.timeoutMs;
        ptpip.dataChunk = 100000;
        connected = host->Attach(ptp::PtpIpOver(ptpip, std::move(command.first),
                                                [&hostEvent] { return std::move(hostEvent); }));
        if (open && connected.ok())
            opened = host->OpenSession(1);
    }
    ~CameraSession() { Stop(); }

    // Ends the session and waits for the responder's thread.
    ptp::Status Stop() {
        if (host)
            host->Shutdown();
        if (camera.joinable())
            camera.join();
        return served;
    }
    bool WaitForEvent(uint16_t code) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(3), [&] {
            for (auto& e : events)
                if (e.code == code)
                    return true;
            return false;
        });
    }
    bool WaitForLoss() {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(3), [&] { return lost; });
    }
    ptp::Event EventOf(uint16_t code) {
        std::lock_guard<std::mutex> lock(mutex);
        for (auto& e : events)
            if (e.code == code)
                return e;
        return ptp::Event();
    }

    // The handle of the object of that name (0: none).
    uint32_t HandleOf(const std::string& name) {
        std::vector<uint32_t> handles;
        host->GetObjectHandles(vcam::kStorageId, 0, 0, handles);
        for (uint32_t handle : handles) {
            ptp::ObjectInfo info;
            if (host->GetObjectInfo(handle, info).ok() && info.filename == name)
                return handle;
        }
        return 0;
    }

    // SendObjectInfo for a root file of `size` bytes named `name`.
    ptp::Result SendInfo(const std::string& name, uint32_t size, uint32_t parent = 0xFFFFFFFF,
                         uint16_t format = 0xBF01) {
        ptp::ObjectInfo info;
        info.objectFormat = format;
        info.objectCompressedSize = size;
        info.parentObject = parent;
        info.filename = name;
        return host->SendObjectInfo(vcam::kStorageId, parent, info);
    }
    // SendObjectInfo then SendObject; the SendObject result.
    ptp::Result Upload(const std::string& name, const Bytes& bytes, uint32_t parent = 0xFFFFFFFF) {
        ptp::Result info = SendInfo(name, static_cast<uint32_t>(bytes.size()), parent);
        if (!info.ok())
            return info;
        size_t offset = 0;
        return host->SendObject(FromBytes(bytes, &offset));
    }

    std::unique_ptr<vcam::Card> ownCard;
    vcam::Card& card;
    vcam::Responder responder;
    std::unique_ptr<ptp::Initiator> host;
    ptp::Result connected, opened;
    std::atomic<ptp::Status> served{ptp::Status::Ok};

  private:
    ptp::ConnectionPtr cameraCommand, cameraEvent;
    std::thread camera;
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<ptp::Event> events;
    bool lost = false;
};

} // namespace vcamtest
