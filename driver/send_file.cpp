// Sending a file: the object announced, its bytes sent from the caller's file stream, then
// confirmed where it belongs and read back; what a failed send leaves is deleted.
#include <algorithm>
#include <cstring>
#include <vector>

#include "codecs.h"
#include "open_camera.h"
#include "leftovers.h"
#include "ptp/text.h"
#include "trace.h"
#include "result_map.h"

namespace {

// The file's bytes read at a time to compare with those read back.
const size_t kCompareChunk = 256 * 1024;
// A failed send's clean-up rides out DeviceBusy this long, asking again this often.
const int kCleanUpBusyMs = 10000;
const DWORD kCleanUpPauseMs = 100;
// A refused delete is asked again once after this.
const DWORD kSettleMs = 500;

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
    // A camera that does not list the operation is not sent it.
    if (!Lists(ptp::OC_SendObjectInfo) || !Lists(ptp::OC_SendObject))
        return kDriverNotSupported;
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
    trace_.Note("announced " + Quoted(sent.name) +
                (sent.sentAs != sent.name ? " as " + Quoted(sent.sentAs) : std::string()) +
                ": object " + TraceHex(sent.handle, 8));
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
    // Nothing announced it (no SendObjectInfo, or one that failed): the camera would answer
    // NoValidObjectInfo, and nothing could confirm what it took.
    if (!sent.valid) {
        trace_.Note("send: no object was announced");
        return kDriverGeneralError;
    }
    bool renameRefused = false;
    DriverResult r = SendFile(sent, size, file, renameRefused);
    if (renameRefused) {
        // A camera that lists renaming but refuses it: the whole file goes again under
        // its own name, and so do the next ones.
        renameRefused_ = true;
        Clean(sent);
        ptp::ObjectInfo info = sent.info;
        info.filename = sent.name;
        sent = Announced();
        sent.name = info.filename;
        r = AnnounceInfo(info, sent);
        if (r == kDriverOk)
            r = SendFile(sent, size, file, renameRefused);
    }
    // Many cameras keep what arrived of a failed send, and some create the object on its
    // ObjectInfo alone: neither a truncated nor an empty update may stay, nor a whole one
    // that was not verified.
    if (r != kDriverOk)
        Clean(sent);
    cache_.ForgetObjects();
    return r;
}

DriverResult OpenCamera::SendFile(Announced& sent, uint32_t size, CameraStream* file,
                                  bool& renameRefused) {
    DriverResult streamResult = OpenStream(file, kStreamOpenRead);
    if (streamResult != kDriverOk)
        return streamResult;
    const bool readBack = settings_.verifyContent && Lists(ptp::OC_GetObject);
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
    // A file that gets its name next is confirmed under it, once: where it lies, its name and
    // its size are what the camera's updater finds.
    const bool renames = sent.sentAs != sent.name;
    if (r == kDriverOk && !renames)
        r = ConfirmEntry(sent, sent.name, size);
    if (r == kDriverOk && readBack)
        r = ReadBack(sent, size, file, [&](uint64_t done) { return progress.At(size + done); });
    if (r == kDriverOk && renames)
        r = GiveName(sent, size, renameRefused);
    DriverResult closed = kDriverOk;
    file->close(file->impl, &closed);
    if (r == kDriverOk)
        progress.Done();
    return r;
}

std::string OpenCamera::Misplaced(const Announced& sent, const ptp::ObjectInfo& info,
                                  const std::string& name, uint32_t size) {
    // Anywhere but where it was sent, the camera's updater would not find it.
    if (info.storageId != sent.storage)
        return "store " + TraceHex(info.storageId, 8) + ", sent to " + TraceHex(sent.storage, 8);
    if (sent.parent == ptp::kRootParent ? !ptp::IsRootParent(info.parentObject)
                                        : info.parentObject != sent.parent)
        return "parent " + TraceHex(info.parentObject, 8) + ", sent to " + TraceHex(sent.parent, 8);
    if (ptp::Lower(info.filename) != ptp::Lower(name))
        return "name " + Quoted(info.filename) + ", sent as " + Quoted(name);
    if (info.objectCompressedSize != size)
        return "size " + std::to_string(info.objectCompressedSize) + " bytes, sent " +
               std::to_string(size);
    return std::string();
}

DriverResult OpenCamera::ConfirmEntry(Announced& sent, const std::string& name, uint32_t size) {
    ptp::ObjectInfo info;
    ptp::Result result = initiator_->GetObjectInfo(sent.handle, info);
    // Some cameras give a renamed file a new handle (uMTP-Responder copies it): where the old
    // one is gone, the file is found by its name.
    if (result.status == ptp::Status::Ok && result.code == ptp::RC_InvalidObjectHandle &&
        name != sent.sentAs) {
        const uint32_t old = sent.handle;
        const DriverResult found = FindByName(sent.storage, name, sent.handle);
        if (found == kDriverVerifyFailed)
            trace_.Note("confirm " + Quoted(name) + ": its old object " + TraceHex(old, 8) +
                        " is gone and no object has its name");
        if (found != kDriverOk)
            return found;
        trace_.Note(Quoted(name) + " is now object " + TraceHex(sent.handle, 8));
        result = initiator_->GetObjectInfo(sent.handle, info);
    }
    if (result.status != ptp::Status::Ok)
        return MapPtpResult(result);
    const std::string why = result.ok() ? Misplaced(sent, info, name, size)
                                        : "GetObjectInfo answered " + TraceHex(result.code, 4);
    if (why.empty())
        return kDriverOk;
    trace_.Note("confirm " + Quoted(name) + " (object " + TraceHex(sent.handle, 8) + "): " + why);
    return kDriverVerifyFailed;
}

DriverResult OpenCamera::GiveName(Announced& sent, uint32_t size, bool& refused) {
    std::vector<uint8_t> value;
    if (!ptp::PackPropValue(ptp::PropValue::String(sent.name), value))
        return kDriverGeneralError;
    const ptp::DataOut out = ptp::DataOutOf(value);
    {
        std::lock_guard<common::Lock> hold(addedLock_);
        added_.clear();
    }
    const ptp::Result result = initiator_->Transact(ptp::OC_MTP_SetObjectPropValue,
                                                    {sent.handle, ptp::OPC_ObjectFileName}, &out);
    refused = RefusesRename(result);
    if (!result.ok())
        return MapPtpResult(result);
    trace_.Note("renamed object " + TraceHex(sent.handle, 8) + " to " + Quoted(sent.name));
    return ConfirmEntry(sent, sent.name, size);
}

DriverResult OpenCamera::FindByName(uint32_t store, const std::string& name, uint32_t& handle) {
    // The objects the camera said it added come first, newest first. One it announced but
    // never made (uMTP-Responder's file watcher sees a temporary name) answers an empty
    // ObjectInfo: no object.
    initiator_->DeliverWaitingEvents();
    std::vector<uint32_t> added;
    {
        std::lock_guard<common::Lock> hold(addedLock_);
        added.assign(added_.rbegin(), added_.rend());
    }
    for (uint32_t candidate : added) {
        ptp::ObjectInfo info;
        const ptp::Result result = initiator_->GetObjectInfo(candidate, info);
        if (result.status == ptp::Status::Malformed && !initiator_->outOfStep())
            continue;
        if (result.status != ptp::Status::Ok)
            return MapPtpResult(result);
        if (result.ok() && info.storageId == store &&
            ptp::Lower(info.filename) == ptp::Lower(name)) {
            handle = candidate;
            return kDriverOk;
        }
    }
    // Then the store's root, where every file is sent, its entries as a card walk reads them.
    std::vector<uint32_t> root;
    cache_.ForgetObjects();
    DriverResult r = ListHandles({store, 0, ptp::kRootParent}, root);
    const std::string wanted = ptp::Lower(Utf8ToAnsi(name));
    for (auto it = root.rbegin(); r == kDriverOk && it != root.rend(); ++it) {
        ObjectEntryRecord entry;
        r = Entry(*it, entry);
        if (r == kDriverOk && ptp::Lower(entry.name) == wanted) {
            handle = *it;
            return kDriverOk;
        }
    }
    return r == kDriverOk ? kDriverVerifyFailed : r;
}

DriverResult OpenCamera::ReadBack(const Announced& sent, uint32_t size, CameraStream* file,
                                  const std::function<DriverResult(uint64_t)>& progress) {
    // The bytes read back are compared with the file's, read again in step: neither is held
    // whole. After a difference, or when the caller stops, the rest is read and dropped (its
    // size is known), so the session stays in step for the clean-up.
    DriverResult streamResult = kDriverOk;
    file->seek(file->impl, kStreamSeekStart, 0, &streamResult);
    if (streamResult != kDriverOk)
        return streamResult;
    std::vector<uint8_t> expected;
    uint64_t compared = 0;
    uint64_t differsAt = ~uint64_t(0);
    DriverResult stop = kDriverOk;
    ptp::DataIn in;
    in.maxSize = size;
    in.drainUpTo = size;
    in.write = [&](const uint8_t* data, size_t count) {
        for (size_t done = 0; done < count && differsAt == ~uint64_t(0);) {
            const size_t piece = std::min<size_t>(count - done, kCompareChunk);
            expected.resize(piece);
            if (!ReadExactly(file, expected.data(), piece, streamResult))
                return false;
            const auto at = std::mismatch(expected.begin(), expected.end(), data + done);
            if (at.first != expected.end())
                differsAt = compared + done + (at.first - expected.begin());
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
    std::string why;
    if (!result.ok())
        why = result.status == ptp::Status::SinkFailed
                  ? "more bytes than were sent"
                  : "GetObject answered " + TraceHex(result.code, 4);
    else if (differsAt != ~uint64_t(0))
        why = "the bytes differ at offset " + std::to_string(differsAt);
    else if (compared != size)
        why = std::to_string(compared) + " bytes read back of " + std::to_string(size);
    if (why.empty())
        return kDriverOk;
    trace_.Note("read back " + Quoted(sent.sentAs) + " (object " + TraceHex(sent.handle, 8) +
                "): " + why);
    return kDriverVerifyFailed;
}

ptp::Result OpenCamera::Delete(uint32_t handle) {
    // The camera may be busy writing its card for a while after a failed send: longer than
    // an operation waits.
    const common::Deadline busyFor(kCleanUpBusyMs, kCleanUpBusyMs, 0);
    for (;;) {
        const ptp::Result result = initiator_->DeleteObject(handle);
        if (!(result.status == ptp::Status::Ok && result.code == ptp::RC_DeviceBusy) ||
            busyFor.Passed())
            return result;
        Sleep(kCleanUpPauseMs);
    }
}

void OpenCamera::Clean(Announced& sent) {
    if (!sent.valid || !Lists(ptp::OC_DeleteObject) || initiator_->lost())
        return;
    // A session out of step (a timeout, a stopped phase) is brought back to delete.
    if (initiator_->outOfStep()) {
        bool reopened = false;
        const ptp::Result back = initiator_->Recover(&reopened);
        trace_.Note(std::string("session out of step: ") +
                    (back.ok() ? (reopened ? "opened again" : "in step again")
                               : "not brought back, " + std::string(ptp::StatusName(back.status))));
        if (!back.ok() || (reopened && !Relocate(sent)))
            return;
    }
    const std::string what = Quoted(sent.sentAs) + " (object " + TraceHex(sent.handle, 8) + ")";
    for (int attempt = 1;; ++attempt) {
        const ptp::Result result = Delete(sent.handle);
        trace_.Note("deleted " + what + ": " +
                    (result.status != ptp::Status::Ok ? ptp::StatusName(result.status)
                                                      : TraceHex(result.code, 4)));
        // Gone already, or the link or the card is: nothing more can be done.
        if (result.ok() || result.status != ptp::Status::Ok ||
            result.code == ptp::RC_InvalidObjectHandle || attempt == 2 || initiator_->lost())
            return;
        // Refused: asked again once the camera has settled (its events told, a moment passed).
        initiator_->DeliverWaitingEvents();
        Sleep(kSettleMs);
    }
}

bool OpenCamera::Relocate(Announced& sent) {
    // A new session may number the card's objects anew: the file is found by the name it was
    // sent under, at the root of its store, where nothing of that name was before the send.
    ptp::ObjectInfo info;
    const ptp::Result same = initiator_->GetObjectInfo(sent.handle, info);
    if (same.ok() && info.filename == sent.sentAs && info.storageId == sent.storage)
        return true;
    if (FindByName(sent.storage, sent.sentAs, sent.handle) == kDriverOk)
        return true;
    trace_.Note(Quoted(sent.sentAs) + " is not on the card any more");
    return false;
}
