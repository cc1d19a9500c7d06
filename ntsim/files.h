// The machine's object manager and I/O system: files of the mapped drives
// and the file objects of every open, share access, and requests that
// complete later. The devices they reach (named devices, the drives'
// volumes, the image file store) are in devices.h.
#pragma once

#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ntsim/devices.h"
#include "ntsim/ntsim.h"

namespace ntsim {

class Call;
class Event;

// Opens an existing file for a component of the system itself (the driver
// model's container) as a second opener would: through the object manager,
// with its own access and share access checked against every other open,
// and counted by the drive's lock. It is no call of the process: not traced,
// not numbered for --fail and --pend, and no handle of the process. The open
// lasts until ReleaseSystemOpen.
NTSTATUS OpenFileForSystem(std::u16string_view ntPath, ACCESS_MASK access, ULONG share,
                           std::shared_ptr<FileObject> &file);
void ReleaseSystemOpen(const std::shared_ptr<FileObject> &file);

// ---------------------------------------------------------------------------
// File objects
// ---------------------------------------------------------------------------

// One request that came back pending: performed when it completes.
struct PendingRequest {
    std::string tag;  // "NtReadFile#3"
    IO_STATUS_BLOCK *ioStatus;
    std::shared_ptr<Event> event;
    // Does the work at completion; notes for the trace go to `call`.
    std::function<NTSTATUS(ULONG_PTR &information, Call &call)> perform;
};

// What a handle from NtCreateFile refers to.
class FileObject : public Object, public std::enable_shared_from_this<FileObject> {
public:
    enum class Kind { HostFile, HostDirectory, Device };
    ~FileObject() override;
    const char *TypeName() const override { return "File"; }
    // A wait completes the requests still outstanding on the file object
    // (in the order they were issued: each is performed now, writes its
    // status block and signals) and then answers STATUS_WAIT_0; a file object
    // with nothing outstanding is signalled if its last request completed.
    NTSTATUS Wait(const std::optional<int64_t> &timeout) override;
    void OnLastHandleClosed() override;

    Kind kind = Kind::HostFile;
    std::filesystem::path hostPath;
    int fd = -1;
    std::shared_ptr<Device> device;  // Kind::Device
    std::shared_ptr<Volume> volume;  // the drive it was opened on, if any
    std::string shareKey;            // identity of the file or device for share access
    ACCESS_MASK granted = 0;
    ULONG share = 0;
    bool synchronous = false;
    bool alertable = false;
    bool cutOff = false;  // its volume was dismounted under it
    bool closed = false;
    uint64_t position = 0;
    bool signalled = false;
    std::deque<PendingRequest> outstanding;

    void CompleteOutstanding();
    NTSTATUS ReadAt(uint64_t offset, uint8_t *buffer, ULONG length, ULONG_PTR &information);
    NTSTATUS WriteAt(uint64_t offset, const uint8_t *buffer, ULONG length, bool toEnd, ULONG_PTR &information);
    uint64_t HostFileSize() const;
};

// Maps generic rights and MAXIMUM_ALLOWED to the specific rights of files.
ACCESS_MASK MapFileAccess(ACCESS_MASK access);

}  // namespace ntsim
