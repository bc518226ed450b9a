// USB cameras, the virtual camera inside the library and cameras over PTP/IP, as camera sources.
#include "camera_source.h"

#include "codecs.h"
#include "embedded_camera.h"
#include "ptp/ptpip_transport.h"
#include "result_map.h"
#include "trace.h"
#include "wpd_cameras.h"

namespace {

// The profile's cameras, all served by one embedded camera started when one is opened.
class VirtualSource final : public CameraSource {
  public:
    VirtualSource(const DriverSettings& settings, InitiatorFactory newInitiator,
                  const ptp::PtpIpConfig& ptpip, SourceNote note)
        : settings_(settings), newInitiator_(std::move(newInitiator)), ptpip_(ptpip),
          note_(std::move(note)) {}

    DriverResult Enumerate(std::vector<std::string>& names) override {
        uint32_t cameras = 0;
        std::string error;
        if (!EmbeddedCamera::CameraCount(settings_, cameras, error)) {
            note_("virtual camera: profile not read: " + error);
            return kDriverNotInstalled;
        }
        names.assign(cameras, "virtual");
        count_ = cameras;
        return kDriverOk;
    }

    DriverResult Open(size_t index, std::unique_ptr<ptp::Initiator>& initiator) override {
        if (index >= count_ || camera_)
            return kDriverNoCamera;
        std::string error;
        camera_ = EmbeddedCamera::Start(settings_, error);
        if (!camera_) {
            note_("virtual camera: " + error);
            return kDriverNotInstalled;
        }
        initiator = newInitiator_();
        // Its camera is reached again through new pipes, the card as it is.
        initiator->SetReconnect([this] { return Connect(); });
        return MapPtpResult(initiator->Attach(Connect()));
    }

  private:
    std::unique_ptr<ptp::Transport> Connect() {
        auto event = std::make_shared<ptp::ConnectionPtr>();
        ptp::ConnectionPtr command = camera_->Connect(*event);
        return ptp::PtpIpOver(ptpip_, std::move(command), [event] { return std::move(*event); });
    }

    const DriverSettings settings_;
    const InitiatorFactory newInitiator_;
    const ptp::PtpIpConfig ptpip_;
    const SourceNote note_;
    size_t count_ = 0;
    std::unique_ptr<EmbeddedCamera> camera_;
};

// Each configured host that completes the PTP/IP handshake is one camera. Cameras often take
// one initiator at a time: the connection made while listing is the one Open hands out.
class PtpIpSource final : public CameraSource {
  public:
    PtpIpSource(const DriverSettings& settings, InitiatorFactory newInitiator,
                const ptp::PtpIpConfig& ptpip, SourceNote note)
        : settings_(settings), newInitiator_(std::move(newInitiator)), ptpip_(ptpip),
          note_(std::move(note)) {}

    DriverResult Enumerate(std::vector<std::string>& names) override {
        found_.clear();
        names.clear();
        bool refused = false;
        for (const HostPort& hp : settings_.hosts) {
            std::unique_ptr<ptp::Initiator> initiator = newInitiator_();
            ptp::Result r = initiator->Attach(Connect(hp));
            refused = refused || r.status == ptp::Status::Refused;
            const std::string where = hp.host + ":" + std::to_string(hp.port);
            if (!r.ok()) {
                const std::string why = initiator->LastFailure();
                note_("connect " + where + ": " + (why.empty() ? ptp::StatusName(r.status) : why));
                continue;
            }
            note_("connect " + where + ": camera \"" + initiator->responder().friendlyName + "\"");
            // A session out of step is brought back over new connections to the same place.
            initiator->SetReconnect([this, hp] { return Connect(hp); });
            found_.push_back(std::move(initiator));
            names.push_back(hp.host);
        }
        // A camera that turned us away (Init Fail: another program holds it) is there but
        // busy, which the user can do something about; no answer at all is no camera.
        return names.empty() && refused ? kDriverBusy : kDriverOk;
    }

    DriverResult Open(size_t index, std::unique_ptr<ptp::Initiator>& initiator) override {
        if (index < found_.size())
            initiator = std::move(found_[index]);
        found_.clear();
        return initiator ? kDriverOk : kDriverNoCamera;
    }

  private:
    std::unique_ptr<ptp::Transport> Connect(const HostPort& hp) const {
        return ptp::PtpIpOverTcp(ptpip_, hp.host, hp.port, settings_.connectTimeoutMs);
    }

    const DriverSettings settings_;
    const InitiatorFactory newInitiator_;
    const ptp::PtpIpConfig ptpip_;
    const SourceNote note_;
    std::vector<std::unique_ptr<ptp::Initiator>> found_;
};

// The still-image cameras that Windows Portable Devices lists. Where it is missing (Wine) the
// list is empty: an honest "no camera", never the virtual one.
class UsbSource final : public CameraSource {
  public:
    UsbSource(const DriverSettings& settings, InitiatorFactory newInitiator, SourceNote note)
        : newInitiator_(std::move(newInitiator)), note_(std::move(note)),
          cameras_(SystemWpdFactory(), settings.HandshakeMs()) {}

    DriverResult Enumerate(std::vector<std::string>& names) override {
        std::vector<WpdCameraList::Device> all;
        const HRESULT listed = cameras_.Refresh(&all);
        note_("USB: portable devices listed, HRESULT " +
              TraceHex(static_cast<uint32_t>(listed), 8) + ", " + std::to_string(all.size()) +
              " device(s)");
        static const char* const kVerdicts[] = {"a camera", "busy", "no camera",
                                                "without MTP commands", "unreadable"};
        for (const WpdCameraList::Device& device : all)
            note_("USB: \"" + device.name + "\" is " + kVerdicts[static_cast<int>(device.verdict)] +
                  ", HRESULT " + TraceHex(static_cast<uint32_t>(device.hr), 8));
        names.clear();
        for (size_t i = 0; i < cameras_.size(); ++i)
            names.push_back(Utf8ToAnsi(cameras_.name(i))); // records carry ANSI text
        return kDriverOk;
    }

    DriverResult Open(size_t index, std::unique_ptr<ptp::Initiator>& initiator) override {
        std::unique_ptr<ptp::Transport> transport = cameras_.OpenTransport(index);
        if (!transport)
            return kDriverNoCamera;
        initiator = newInitiator_();
        // Opened again, the device's class driver begins a new session with the camera.
        initiator->SetReconnect([this, index] { return cameras_.OpenTransport(index); });
        return MapPtpResult(initiator->Attach(std::move(transport)));
    }

  private:
    const InitiatorFactory newInitiator_;
    const SourceNote note_;
    WpdCameraList cameras_;
};

} // namespace

std::unique_ptr<CameraSource> MakeCameraSource(const DriverSettings& settings,
                                               InitiatorFactory newInitiator, const ptp::Guid& guid,
                                               SourceNote note) {
    ptp::PtpIpConfig ptpip;
    ptpip.guid = guid;
    ptpip.friendlyName = "Vandrel";
    ptpip.timeoutMs = settings.timeoutMs;
    ptpip.floorBytesPerSecond = settings.floorBytesPerSecond;
    switch (settings.transport) {
    case SettingsTransport::PtpIp:
        return std::make_unique<PtpIpSource>(settings, std::move(newInitiator), ptpip,
                                             std::move(note));
    case SettingsTransport::Virtual:
        return std::make_unique<VirtualSource>(settings, std::move(newInitiator), ptpip,
                                               std::move(note));
    case SettingsTransport::Usb:
        break;
    }
    return std::make_unique<UsbSource>(settings, std::move(newInitiator), std::move(note));
}
