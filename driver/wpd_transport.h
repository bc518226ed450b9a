// A USB camera through Windows Portable Devices: each PTP operation goes raw through the in-box
// MTP/PTP class driver's extension commands (IPortableDevice::SendCommand), so the session layer
// and its datasets serve USB cameras as they serve PTP/IP ones. The class driver opens the PTP
// session and numbers the transactions itself; camera events arrive through
// IPortableDevice::Advise.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "common/handle.h"
#include "common/lock.h"
#include "ptp/transport.h"
#include "ptp/watchdog.h"
#include "wpd_com.h"

class WpdEvents;

// Made, used and destroyed on one thread in the multithreaded apartment (the driver library's
// call thread); Shutdown may come from any thread. SendCommand has no bound of its own: the
// transport's watchdog aborts a command that outlives its step's deadline, the pending command
// is cancelled (IPortableDevice::Cancel) and the step ends with Timeout.
class WpdTransport final : public ptp::Transport {
  public:
    // `factory` must outlive the transport.
    WpdTransport(WpdFactory& factory, std::wstring pnpDeviceId, std::string name);

    // The MTP extension commands a device must accept to be driven raw.
    static bool AcceptsMtpCommands(IPortableDevice* device);
    ~WpdTransport() override;

    ptp::Status Open(const ptp::Deadline& deadline, ptp::Response& refusal) override;
    void Start(ptp::TransportListener& listener) override;
    const ptp::ResponderInfo& Responder() const override { return responder_; }
    ptp::Status SendRequest(const ptp::Request& request, const ptp::Deadline& deadline) override;
    ptp::Status SendData(const ptp::Request& request, const ptp::DataSource& source,
                         const ptp::Deadline& deadline) override;
    ptp::Status ReceiveData(const ptp::Request& request, ptp::DataInTarget& target,
                            ptp::Deadline& deadline) override;
    ptp::Status ReadResponse(const ptp::Request& request, ptp::Response& response,
                             const ptp::Deadline& deadline) override;
    void Shutdown() override;
    std::string LastFailure() const override;

  private:
    std::atomic<HRESULT> lastFailure_{S_OK}; // the trace's account of the last failure
    // Fresh command parameters; with the transfer context of the data phase under way.
    ptp::Status NewParameters(ComPtr<IPortableDeviceValues>& parameters, bool withContext);
    // One command through the class driver, cancelled at the deadline.
    ptp::Status Command(const PROPERTYKEY& command, IPortableDeviceValues* parameters,
                        ComPtr<IPortableDeviceValues>& results, const ptp::Deadline& deadline);
    // One READ_DATA or WRITE_DATA of `size` bytes at `data` (the device reads or fills it).
    ptp::Status Piece(const PROPERTYKEY& command, const PROPERTYKEY& sizeKey, uint8_t* data,
                      DWORD size, ComPtr<IPortableDeviceValues>& results,
                      const ptp::Deadline& deadline);
    // END_DATA_TRANSFER of the open transfer; its response is then held for ReadResponse.
    ptp::Status EndTransfer(const ptp::Deadline& deadline);
    // A data phase step that failed with `status`: the transfer is ended where the device can
    // still hear it. A refusal the camera gave at the end stands for the step (Ok, and
    // ReadResponse hands it over); otherwise `status`.
    ptp::Status Abandon(ptp::Status status, const ptp::Deadline& deadline);
    // On the watchdog's thread: no command more, and the one under way cancelled.
    void Abort();
    bool Gone() const;

    ComApartment apartment_; // first in, last out: every COM object is released before it
    WpdFactory& factory_;
    const std::wstring pnpDeviceId_;
    ptp::ResponderInfo responder_;

    common::Lock linkLock_; // guards device_ and events_ while they are set or shut down
    ComPtr<IPortableDevice> device_;
    ComPtr<WpdEvents> events_;
    common::TaskMemory<wchar_t> cookie_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> inCommand_{false}; // SendCommand may be under way
    std::atomic<bool> aborted_{false};   // the operation overstayed: no command more

    // The operation under way.
    bool haveResponse_ = false; // answered without a data phase
    ptp::Response response_;
    bool inTransfer_ = false; // a data phase is open until END_DATA_TRANSFER
    std::wstring context_;    // empty when the driver gave none (optional for sends)
    uint64_t total_ = 0;      // data-in bytes announced
    size_t chunk_ = 0;        // bytes per READ_DATA or WRITE_DATA
    std::vector<uint8_t> buffer_;
    ptp::Watchdog watchdog_; // stopped before anything it aborts is gone
};
