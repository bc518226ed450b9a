// Sending a file: the object announced, its bytes sent from the caller's file stream, then
// confirmed where it belongs and read back; what a failed send leaves is deleted.
#include <algorithm>
#include <cstring>
#include <vector>

#include "codecs.h"
#include "open_camera.h"
#include "leftovers.h"
#include "ptp/text.h"
#include "result_map.h"

namespace {

// The file's bytes read at a time to compare with those read back.
const size_t kCompareChunk = 256 * 1024;

bool IsVendorFormat(uint16_t format) {
    return (format & 0xF000) == 0xB000;
}

// Reads exactly `count` bytes of the file; false with the stream's result (or a read failure
// when the file ends early).
bool ReadExactly(CameraStream* file, uint8_t* buffer, size_t count, DriverResult& result) {
    size_t got = 0;
    while (got < count) {
        uint32_t n = static_cast<uint32_t>(std::min<size_t>(count - got, 0x40000000));
        file->read(file->impl, buffer + got, &n, &result);
        if (result != kDriverOk)
            return false;
        if (n == 0) {
            result = kStreamReadFailed;
            return false;
        }
        got += n;
    }
    return true;
}

// A send's percent through the file stream, reported when it changes: the read-back counts as
// much as the send, and 100 comes only once the file is confirmed on the card.
class SendProgress {
  public:
    SendProgress(CameraStream* file, uint64_t work) : file_(file), work_(work) {}
    // The caller's answer: anything but 0 ends the file (its camera is going away).
    DriverResult At(uint64_t done) {
        return Report(work_ ? static_cast<int>(std::min<uint64_t>(99, done * 100 / work_)) : 0);
    }
    void Done() { Report(100); }

  private:
    DriverResult Report(int percent) {
        if (percent == last_)
            return stop_;
        last_ = percent;
        DriverResult answer = kDriverOk;
        file_->progress(file_->impl, static_cast<uint16_t>(percent), &answer);
        if (stop_ == kDriverOk)
            stop_ = answer;
        return stop_;
    }

    CameraStream* file_;
    const uint64_t work_;
    int last_ = -1;
    DriverResult stop_ = kDriverOk;
};

// A camera's answer that refuses the upload itself, whatever the file: this camera cannot
// take this update.
bool RefusesUpload(const ptp::Result& result) {
    return result.status == ptp::Status::Ok &&
           (result.code == ptp::RC_AccessDenied || result.code == ptp::RC_InvalidParameter ||
            result.code == ptp::RC_InvalidParentObject);
}

// A camera's answer that says it cannot rename this object, rather than that the card or the
// link failed.
bool RefusesRename(const ptp::Result& result) {
    if (result.status != ptp::Status::Ok)
        return false;
    switch (result.code) {
    case ptp::RC_OperationNotSupported:
    case ptp::RC_ParameterNotSupported:
    case ptp::RC_MTP_InvalidObjectPropCode:
    case ptp::RC_AccessDenied:
    case ptp::RC_InvalidParameter:
    case ptp::RC_InvalidDataset:
        return true;
    default:
        return false;
    }
}

} // namespace

DriverResult OpenCamera::Announce(uint32_t storageId, uint32_t parent,
                                  const ObjectInfoRecord* record, uint32_t values[3]) {
    cache_.ForgetObjects();
    announced_ = Announced();
    if (!record)
        return kStreamBadArgument;
    // Zeros let the camera decide, and cameras decide differently (a DCIM folder, or a
    // refusal): the file goes to the card's own store, at its root, where the camera's
    // updater looks for it.
    if (storageId == 0) {
        const DriverResult r = CardStore(storageId);
        if (r != kDriverOk)
            return r;
    }
    if (parent == 0)
        parent = ptp::kRootParent;
    ptp::ObjectInfo info = ObjectInfoOf(*record);
    info.storageId = storageId;
    info.parentObject = parent;
    Announced sent;
    sent.name = info.filename;
    // Where the camera can rename, a file gets its own name only once whole and verified:
    // whatever a failure leaves is then never taken for the update.
    if (RenamesObjects())
        info.filename = TemporaryName();
    const DriverResult r = AnnounceInfo(info, sent);
    if (r != kDriverOk)
        return r;
    announced_ = sent;
    values[0] = sent.storage;
    values[1] = parent;
    values[2] = sent.handle;
    return kDriverOk;
}

DriverResult OpenCamera::AnnounceInfo(ptp::ObjectInfo info, Announced& sent) {
    ptp::Result result = initiator_->SendObjectInfo(info.storageId, info.parentObject, info);
    // Some cameras take no vendor object format: the file goes as an undefined one.
    if (result.status == ptp::Status::Ok &&
        (result.code == ptp::RC_InvalidObjectFormatCode ||
         result.code == ptp::RC_ParameterNotSupported) &&
        IsVendorFormat(info.objectFormat)) {
        info.objectFormat = ptp::OFC_Undefined;
        result = initiator_->SendObjectInfo(info.storageId, info.parentObject, info);
    }
    if (RefusesUpload(result))
        return kDriverNotSupported;
    if (!result.ok())
        return MapPtpResult(result);
    sent.valid = true;
    sent.handle = result.params[2];
    sent.storage = info.storageId;
    sent.parent = info.parentObject;
    sent.sentAs = info.filename;
    sent.info = info;
    return kDriverOk;
}

bool OpenCamera::RenamesObjects() const {
    return !renameRefused_ && deviceInfo_.SpeaksMtp() &&
           deviceInfo_.SupportsOperation(ptp::OC_MTP_SetObjectPropValue);
}

DriverResult OpenCamera::Send(uint32_t size, CameraStream* file) {
    cache_.ForgetObjects();
    Announced sent = announced_;
    announced_ = Announced();
    bool renameRefused = false;
    DriverResult r = SendFile(sent, size, file, renameRefused);
    if (renameRefused) {
        // A camera that lists renaming but refuses it: the whole file goes again under
        // its own name, and so do the next ones.
        renameRefused_ = true;
        DeleteLeftover(sent);
        ptp::ObjectInfo info = sent.info;
        info.filename = sent.name;
        sent = Announced();
        sent.name = info.filename;
        r = AnnounceInfo(info, sent);
        if (r == kDriverOk)
            r = SendFile(sent, size, file, renameRefused);
    }
    // Many cameras keep what arrived of a failed send, and some create the object on its
    // ObjectInfo alone: neither a truncated nor an empty update may stay. A file under its
    // own name outlives a timed-out step unless the camera still finishes that step: it is
    // given the time to, and the file is deleted.
    if (r == kDriverNoAnswer && sent.valid && sent.sentAs == sent.name)
        initiator_->Recover();
    if (r != kDriverOk)
        DeleteLeftover(sent);
    cache_.ForgetObjects();
    return r;
}

DriverResult OpenCamera::SendFile(const Announced& sent, uint32_t size, CameraStream* file,
                                  bool& renameRefused) {
    DriverResult streamResult = OpenStream(file, kStreamOpenRead);
    if (streamResult != kDriverOk)
        return streamResult;
    const bool readBack =
        settings_.verifyContent && deviceInfo_.SupportsOperation(ptp::OC_GetObject);
    SendProgress progress(file, readBack ? 2 * uint64_t(size) : size);
    uint64_t sentBytes = 0;
    ptp::DataOut out;
    out.size = size;
    out.read = [&](uint8_t* buffer, size_t count) {
        if (!ReadExactly(file, buffer, count, streamResult))
            return false;
        sentBytes += count;
        streamResult = progress.At(sentBytes);
        return streamResult == kDriverOk;
    };
    DriverResult r = progress.At(0);
    if (r == kDriverOk) {
        const ptp::Result result = initiator_->SendObject(out);
        r = MapPtpResult(result);
        if (result.status == ptp::Status::SourceFailed)
            r = streamResult != kDriverOk ? streamResult : kStreamReadFailed;
    }
    if (r == kDriverOk && sent.valid)
        r = Confirm(sent, size, file, [&](uint64_t done) { return progress.At(size + done); });
    if (r == kDriverOk && sent.valid && sent.sentAs != sent.name)
        r = GiveName(sent, size, renameRefused);
    DriverResult closed = kDriverOk;
    file->close(file->impl, &closed);
    if (r == kDriverOk)
        progress.Done();
    return r;
}

DriverResult OpenCamera::ConfirmEntry(const Announced& sent, const std::string& name,
                                      uint32_t size) {
    ptp::ObjectInfo info;
    ptp::Result result = initiator_->GetObjectInfo(sent.handle, info);
    if (result.status != ptp::Status::Ok)
        return MapPtpResult(result);
    // Anywhere but where it was sent, the camera's updater would not find it.
    const bool placed = info.storageId == sent.storage &&
                        (sent.parent == ptp::kRootParent ? ptp::IsRootParent(info.parentObject)
                                                         : info.parentObject == sent.parent);
    if (!result.ok() || !placed || info.objectCompressedSize != size ||
        ptp::Lower(info.filename) != ptp::Lower(name))
        return kDriverVerifyFailed;
    return kDriverOk;
}

DriverResult OpenCamera::GiveName(const Announced& sent, uint32_t size, bool& refused) {
    std::vector<uint8_t> value;
    if (!ptp::PackPropValue(ptp::PropValue::String(sent.name), value))
        return kDriverGeneralError;
    const ptp::DataOut out = ptp::DataOutOf(value);
    const ptp::Result result = initiator_->Transact(ptp::OC_MTP_SetObjectPropValue,
                                                    {sent.handle, ptp::OPC_ObjectFileName}, &out);
    refused = RefusesRename(result);
    if (!result.ok())
        return MapPtpResult(result);
    return ConfirmEntry(sent, sent.name, size);
}

DriverResult OpenCamera::Confirm(const Announced& sent, uint32_t size, CameraStream* file,
                                 const std::function<DriverResult(uint64_t)>& progress) {
    DriverResult r = ConfirmEntry(sent, sent.sentAs, size);
    if (r != kDriverOk)
        return r;
    if (!settings_.verifyContent || !deviceInfo_.SupportsOperation(ptp::OC_GetObject))
        return kDriverOk;

    // The bytes read back are compared with the file's, read again in step: neither is held
    // whole. After a difference the rest is read and dropped, so the session stays in step.
    DriverResult streamResult = kDriverOk;
    file->seek(file->impl, kStreamSeekStart, 0, &streamResult);
    if (streamResult != kDriverOk)
        return streamResult;
    std::vector<uint8_t> expected;
    uint64_t compared = 0;
    bool differs = false;
    DriverResult stop = kDriverOk;
    ptp::DataIn in;
    in.maxSize = size;
    in.write = [&](const uint8_t* data, size_t count) {
        for (size_t done = 0; done < count && !differs;) {
            const size_t piece = std::min<size_t>(count - done, kCompareChunk);
            expected.resize(piece);
            if (!ReadExactly(file, expected.data(), piece, streamResult))
                return false;
            differs = memcmp(expected.data(), data + done, piece) != 0;
            done += piece;
        }
        compared += count;
        stop = progress(compared);
        return stop == kDriverOk;
    };
    // Transact: windows.h turns the name GetObject into GetObjectA.
    const ptp::Result result = initiator_->Transact(ptp::OC_GetObject, {sent.handle}, nullptr, &in);
    if (streamResult != kDriverOk)
        return streamResult;
    if (stop != kDriverOk)
        return stop;
    if (result.status != ptp::Status::Ok && result.status != ptp::Status::SinkFailed)
        return MapPtpResult(result);
    return result.ok() && !differs && compared == size ? kDriverOk : kDriverVerifyFailed;
}

void OpenCamera::DeleteLeftover(const Announced& sent) {
    if (sent.valid && initiator_->connected() &&
        deviceInfo_.SupportsOperation(ptp::OC_DeleteObject))
        initiator_->DeleteObject(sent.handle);
}
