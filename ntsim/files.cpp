// The machine's object manager and I/O system.
//
// Names: "\??\X:" (also "\DosDevices\X:" and "\GLOBAL??\X:") is drive X's
// volume device, "\??\X:\a\b" the host file DRIVE/a/b of the drive's folder
// (Options::root/x, see Machine::DriveFolder), and registered names such as
// "\Device\TrueCrypt" are named devices. The object namespace itself
// (prefixes, device names) is matched without regard to case, as the
// system's object manager does by default; file names on a drive are matched
// case-insensitively only with OBJ_CASE_INSENSITIVE (an exact host name wins,
// then the first of the case-insensitive matches in byte order). Case is
// folded for ASCII and Latin-1 letters.
//
// The product's names never reach the host outside a drive's folder: "."
// and ".." components, empty components, characters the native file systems
// refuse (control characters, " * / : < > ? \ |) and components longer than
// 255 characters are refused with STATUS_OBJECT_NAME_INVALID before the host
// is touched. Symbolic links that the host's user placed in a drive folder
// are followed, like any other part of the machine's set-up.
//
// Requests: a handle opened with a synchronous-I/O option completes every
// request before the call returns and keeps a current byte offset; on other
// handles a request that a --pend rule selects returns STATUS_PENDING and is
// performed only when it completes, at the next wait on the handle, so it
// really writes into the caller's buffers and status block then. Checks of
// the handle, its access, the lengths and the information class are the
// system's and are answered at once; what the file or device itself decides
// (end of file, sizes, lock state) is answered at completion. Completions
// are traced as IoCompleteRequest, which --fail can fail with a status of
// its choice. A request still outstanding when the last handle of its file
// object is closed completes with STATUS_CANCELLED, unperformed.
#include "ntsim/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>

#include "ntsim/call.h"
#include "ntsim/names.h"
#include "ntsim/sync.h"

namespace ntsim {
namespace {

using Perform = std::function<NTSTATUS(ULONG_PTR &information, Call &call)>;

// No Information for the status block (the open failed before it knew).
constexpr ULONG_PTR kNoInformation = ~ULONG_PTR{0};

struct ShareTable {
    std::map<std::string, std::vector<std::weak_ptr<FileObject>>> opens;
};

ShareTable &Shares() { return Machine::Get().Extension<ShareTable>("ntsim.share"); }

NTSTATUS StatusOfErrno(int error) {
    switch (error) {
    case EACCES: case EPERM: case EROFS: return STATUS_ACCESS_DENIED;
    case ENOENT: return STATUS_OBJECT_NAME_NOT_FOUND;
    case ENOTDIR: return STATUS_OBJECT_PATH_NOT_FOUND;
    case EEXIST: return STATUS_OBJECT_NAME_COLLISION;
    case EISDIR: return STATUS_FILE_IS_A_DIRECTORY;
    case ENAMETOOLONG: return STATUS_OBJECT_NAME_INVALID;
    case ENOSPC: case EDQUOT: return STATUS_DISK_FULL;
    case EMFILE: case ENFILE: case ENOMEM: return STATUS_INSUFFICIENT_RESOURCES;
    default: return STATUS_IO_DEVICE_ERROR;
    }
}

// ---------------------------------------------------------------------------
// Share access, as the native file systems check it: only opens for reading,
// writing or deleting take part; a new open must share what every other open
// uses and must use only what every other open shares.
// ---------------------------------------------------------------------------

struct Uses {
    bool read, write, erase;
    bool any() const { return read || write || erase; }
};

Uses UsesOf(ACCESS_MASK granted) {
    return {(granted & (FILE_READ_DATA | FILE_EXECUTE)) != 0, (granted & (FILE_WRITE_DATA | FILE_APPEND_DATA)) != 0,
            (granted & DELETE) != 0};
}

NTSTATUS CheckShareAccess(const std::string &key, ACCESS_MASK granted, ULONG share) {
    Uses mine = UsesOf(granted);
    if (!mine.any()) return STATUS_SUCCESS;
    auto it = Shares().opens.find(key);
    if (it == Shares().opens.end()) return STATUS_SUCCESS;
    for (const auto &weak : it->second) {
        auto other = weak.lock();
        if (!other || other->closed) continue;
        Uses theirs = UsesOf(other->granted);
        if ((mine.read && !(other->share & FILE_SHARE_READ)) || (mine.write && !(other->share & FILE_SHARE_WRITE)) ||
            (mine.erase && !(other->share & FILE_SHARE_DELETE)))
            return STATUS_SHARING_VIOLATION;
        if ((theirs.read && !(share & FILE_SHARE_READ)) || (theirs.write && !(share & FILE_SHARE_WRITE)) ||
            (theirs.erase && !(share & FILE_SHARE_DELETE)))
            return STATUS_SHARING_VIOLATION;
    }
    return STATUS_SUCCESS;
}

void RecordShareAccess(const std::shared_ptr<FileObject> &file) {
    if (!UsesOf(file->granted).any()) return;
    auto &list = Shares().opens[file->shareKey];
    std::erase_if(list, [](const std::weak_ptr<FileObject> &w) { return w.expired(); });
    list.push_back(file);
}

void ForgetShareAccess(const FileObject *file) {
    auto it = Shares().opens.find(file->shareKey);
    if (it == Shares().opens.end()) return;
    std::erase_if(it->second, [file](const std::weak_ptr<FileObject> &w) {
        auto locked = w.lock();
        return !locked || locked.get() == file;
    });
}

std::string HostKey(const struct stat &st) {
    return "host:" + std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
}

std::string InformationName(ULONG_PTR information) {
    static const char *const kNames[] = {"FILE_SUPERSEDED", "FILE_OPENED",  "FILE_CREATED",
                                         "FILE_OVERWRITTEN", "FILE_EXISTS", "FILE_DOES_NOT_EXIST"};
    return information < 6 ? kNames[information] : std::to_string(information);
}

// ---------------------------------------------------------------------------
// Opening
// ---------------------------------------------------------------------------

struct OpenRequest {
    ACCESS_MASK granted;
    ULONG fileAttributes;
    ULONG share;
    ULONG disposition;
    ULONG options;
    bool caseInsensitive;
};

NTSTATUS OpenVolume(const ParsedName &name, const OpenRequest &request, std::shared_ptr<FileObject> &file,
                    ULONG_PTR &information) {
    auto volume = VolumeOf(name.letter);
    if (!volume) return STATUS_OBJECT_NAME_NOT_FOUND;
    if (request.options & FILE_DIRECTORY_FILE) return STATUS_NOT_A_DIRECTORY;
    if (request.disposition == FILE_CREATE) {
        information = FILE_EXISTS;
        return STATUS_OBJECT_NAME_COLLISION;
    }
    file = std::make_shared<FileObject>();
    file->kind = FileObject::Kind::Device;
    file->device = volume;
    file->volume = volume;
    file->shareKey = std::string("volume:") + name.letter;
    if (NTSTATUS status = volume->CheckOpen(*file)) return status;
    if (NTSTATUS status = CheckShareAccess(file->shareKey, request.granted, request.share)) return status;
    information = FILE_OPENED;
    return STATUS_SUCCESS;
}

NTSTATUS OpenNamedDevice(const ParsedName &name, const OpenRequest &request, std::shared_ptr<FileObject> &file,
                         ULONG_PTR &information) {
    auto device = NamedDevice(name.deviceName);
    if (!device) return STATUS_OBJECT_NAME_NOT_FOUND;
    if (request.options & FILE_DIRECTORY_FILE) return STATUS_NOT_A_DIRECTORY;
    file = std::make_shared<FileObject>();
    file->kind = FileObject::Kind::Device;
    file->device = device;
    file->shareKey = "device:" + Utf16ToUtf8(name.deviceName);
    // A device without a file system checks no share access of its own
    // unless it chooses to (CheckOpen).
    if (NTSTATUS status = device->CheckOpen(*file)) return status;
    information = FILE_OPENED;
    return STATUS_SUCCESS;
}

NTSTATUS OpenHostFile(const ParsedName &name, const OpenRequest &request, std::shared_ptr<FileObject> &file,
                      ULONG_PTR &information) {
    auto folder = Machine::Get().DriveFolder(name.letter);
    if (!folder) return STATUS_OBJECT_PATH_NOT_FOUND;
    auto volume = VolumeOf(name.letter);

    std::filesystem::path current = *folder;
    std::error_code error;
    for (size_t i = 0; i + 1 < name.components.size(); ++i) {
        auto entry = FindEntry(current, name.components[i], request.caseInsensitive);
        if (!entry) return STATUS_OBJECT_PATH_NOT_FOUND;
        current /= *entry;
        if (!std::filesystem::is_directory(current, error)) return STATUS_OBJECT_PATH_NOT_FOUND;
    }
    std::filesystem::path target = current;
    bool exists = true;
    if (!name.components.empty()) {
        auto entry = FindEntry(current, name.components.back(), request.caseInsensitive);
        exists = entry.has_value();
        target = current / (entry ? *entry : Utf16ToUtf8(name.components.back()));
    }

    file = std::make_shared<FileObject>();
    file->hostPath = target;
    file->volume = volume;
    if (volume)
        if (NTSTATUS status = volume->CheckOpen(*file)) return status;

    const ULONG disposition = request.disposition;
    const bool wantsDirectory = request.options & FILE_DIRECTORY_FILE;
    const bool wantsFile = request.options & FILE_NON_DIRECTORY_FILE;
    const bool readData = request.granted & FILE_READ_DATA;
    const bool writeData = request.granted & (FILE_WRITE_DATA | FILE_APPEND_DATA);
    const int accessFlags = readData && writeData ? O_RDWR : writeData ? O_WRONLY : O_RDONLY;

    struct stat st {};
    if (exists && stat(target.c_str(), &st) != 0) exists = false;  // a dangling link: nothing there
    if (exists) {
        if (S_ISDIR(st.st_mode)) {
            if (wantsFile) return STATUS_FILE_IS_A_DIRECTORY;
            if (disposition == FILE_CREATE) {
                information = FILE_EXISTS;
                return STATUS_OBJECT_NAME_COLLISION;
            }
            if (disposition != FILE_OPEN && disposition != FILE_OPEN_IF) return STATUS_FILE_IS_A_DIRECTORY;
            file->kind = FileObject::Kind::HostDirectory;
            file->shareKey = HostKey(st);
            if (NTSTATUS status = CheckShareAccess(file->shareKey, request.granted, request.share)) return status;
            file->fd = open(target.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (file->fd < 0) return StatusOfErrno(errno);
            information = FILE_OPENED;
            return STATUS_SUCCESS;
        }
        if (wantsDirectory) return STATUS_NOT_A_DIRECTORY;
        if (name.trailingBackslash) return STATUS_OBJECT_NAME_INVALID;
        if (disposition == FILE_CREATE) {
            information = FILE_EXISTS;
            return STATUS_OBJECT_NAME_COLLISION;
        }
        const bool truncate =
            disposition == FILE_SUPERSEDE || disposition == FILE_OVERWRITE || disposition == FILE_OVERWRITE_IF;
        file->kind = FileObject::Kind::HostFile;
        file->shareKey = HostKey(st);
        // Replacing the contents writes the file, whatever access was asked.
        ACCESS_MASK checked = request.granted | (truncate ? FILE_WRITE_DATA : 0);
        if (NTSTATUS status = CheckShareAccess(file->shareKey, checked, request.share)) return status;
        if (truncate && access(target.c_str(), W_OK) != 0) return StatusOfErrno(errno);
        file->fd = open(target.c_str(), (readData || writeData ? accessFlags : O_PATH) | O_CLOEXEC);
        if (file->fd < 0) return StatusOfErrno(errno);
        if (truncate && ::truncate(target.c_str(), 0) != 0) return StatusOfErrno(errno);
        information = disposition == FILE_SUPERSEDE ? FILE_SUPERSEDED : truncate ? FILE_OVERWRITTEN : FILE_OPENED;
        return STATUS_SUCCESS;
    }

    if (disposition == FILE_OPEN || disposition == FILE_OVERWRITE) {
        information = FILE_DOES_NOT_EXIST;
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    if (name.trailingBackslash && !wantsDirectory) return STATUS_OBJECT_NAME_INVALID;
    if (wantsDirectory) {
        if (mkdir(target.c_str(), 0777) != 0) return StatusOfErrno(errno);
        file->kind = FileObject::Kind::HostDirectory;
        file->fd = open(target.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    } else {
        mode_t mode = (request.fileAttributes & FILE_ATTRIBUTE_READONLY) ? 0444 : 0666;
        file->kind = FileObject::Kind::HostFile;
        file->fd = open(target.c_str(), accessFlags | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    }
    if (file->fd < 0) return StatusOfErrno(errno);
    if (fstat(file->fd, &st) != 0) return StatusOfErrno(errno);
    file->shareKey = HostKey(st);
    information = FILE_CREATED;
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------
// Requests
// ---------------------------------------------------------------------------

NTSTATUS LookupFile(HANDLE handle, std::shared_ptr<FileObject> &file) {
    auto object = Machine::Get().Lookup(handle);
    if (!object) return STATUS_INVALID_HANDLE;
    file = std::dynamic_pointer_cast<FileObject>(object);
    return file ? STATUS_SUCCESS : STATUS_OBJECT_TYPE_MISMATCH;
}

NTSTATUS LookupEvent(HANDLE handle, std::shared_ptr<Event> &event) {
    if (!handle) return STATUS_SUCCESS;
    auto object = Machine::Get().Lookup(handle);
    if (!object) return STATUS_INVALID_HANDLE;
    event = std::dynamic_pointer_cast<Event>(object);
    return event ? STATUS_SUCCESS : STATUS_OBJECT_TYPE_MISMATCH;
}

// An injected result: nothing is done. An injected STATUS_PENDING stands
// for a request the system took and never completes, so the handle is not
// left signalled by an earlier request.
NTSTATUS Injected(Call &call, HANDLE handle) {
    if (call.faultStatus() == STATUS_PENDING) {
        std::shared_ptr<FileObject> file;
        if (LookupFile(handle, file) == STATUS_SUCCESS) file->signalled = false;
    }
    return call.Return(call.faultStatus());
}

NTSTATUS Issue(Call &call, const char *name, const std::shared_ptr<FileObject> &file, IO_STATUS_BLOCK *ioStatus,
               const std::shared_ptr<Event> &event, Perform perform) {
    if (event) event->signalled = false;
    file->signalled = false;
    if (call.pended()) {
        if (!file->synchronous) {
            file->outstanding.push_back(
                {std::string(name) + "#" + std::to_string(call.ordinal()), ioStatus, event, std::move(perform)});
            return call.Return(STATUS_PENDING);
        }
        call.Note("synchronous handle: completed at once");
    }
    ULONG_PTR information = 0;
    NTSTATUS status = perform(information, call);
    call.ArgDec("information", static_cast<int64_t>(information));
    // An error met at once leaves the status block and the signal alone.
    if (!NT_ERROR(status)) {
        ioStatus->Status = status;
        ioStatus->Information = information;
        file->signalled = true;
        if (event) event->signalled = true;
    }
    return call.Return(status);
}

NTSTATUS Transfer(bool write, HANDLE fileHandle, HANDLE eventHandle, PIO_APC_ROUTINE apcRoutine,
                  PIO_STATUS_BLOCK ioStatus, PVOID buffer, ULONG length, PLARGE_INTEGER byteOffset) {
    const char *name = write ? "NtWriteFile" : "NtReadFile";
    Call call(name);
    call.Arg("handle", fileHandle).ArgDec("length", length);
    if (byteOffset) call.ArgDec("offset", byteOffset->QuadPart);
    else call.Arg("offset", std::string_view("current"));
    if (eventHandle) call.Arg("event", eventHandle);
    if (call.faulted()) return Injected(call, fileHandle);

    std::shared_ptr<FileObject> file;
    if (NTSTATUS status = LookupFile(fileHandle, file)) return call.Return(status);
    std::shared_ptr<Event> event;
    if (NTSTATUS status = LookupEvent(eventHandle, event)) return call.Return(status);
    if (!ioStatus || (!buffer && length)) return call.Return(STATUS_ACCESS_VIOLATION);
    if (apcRoutine) return call.Return(STATUS_NOT_IMPLEMENTED);  // completion routines are not modelled

    bool useCurrent = false;
    bool toEnd = false;
    uint64_t at = 0;
    if (!byteOffset || byteOffset->QuadPart == FILE_USE_FILE_POINTER_POSITION) {
        // Only a synchronous handle keeps a position to use.
        if (!file->synchronous) return call.Return(STATUS_INVALID_PARAMETER);
        useCurrent = true;
    } else if (write && byteOffset->QuadPart == FILE_WRITE_TO_END_OF_FILE) {
        toEnd = true;
    } else if (byteOffset->QuadPart < 0) {
        return call.Return(STATUS_INVALID_PARAMETER);
    } else {
        at = static_cast<uint64_t>(byteOffset->QuadPart);
    }
    bool allowed = write ? ((file->granted & FILE_WRITE_DATA) || (toEnd && (file->granted & FILE_APPEND_DATA)))
                         : (file->granted & FILE_READ_DATA) != 0;
    if (!allowed) return call.Return(STATUS_ACCESS_DENIED);
    if (file->cutOff) return call.Return(STATUS_VOLUME_DISMOUNTED);

    auto *bytes = static_cast<uint8_t *>(buffer);
    // The request belongs to the file object (it may wait in its queue), so
    // it refers to it without owning it.
    FileObject *self = file.get();
    Perform perform = [self, write, bytes, length, useCurrent, toEnd, at](ULONG_PTR &information, Call &) {
        uint64_t from = useCurrent ? self->position : at;
        NTSTATUS status = write ? self->WriteAt(from, bytes, length, toEnd, information)
                                : self->ReadAt(from, bytes, length, information);
        if (self->synchronous && !NT_ERROR(status))
            self->position = toEnd ? self->HostFileSize() : from + information;
        return status;
    };
    return Issue(call, name, file, ioStatus, event, std::move(perform));
}

// The file systems take the volume controls on volume opens only and refuse
// them on a file or directory as a bad parameter, not as an unknown request.
bool IsVolumeControl(ULONG code) {
    return code == FSCTL_LOCK_VOLUME || code == FSCTL_UNLOCK_VOLUME || code == FSCTL_DISMOUNT_VOLUME ||
           code == FSCTL_ALLOW_EXTENDED_DASD_IO;
}

NTSTATUS Control(bool fileSystem, HANDLE fileHandle, HANDLE eventHandle, PIO_APC_ROUTINE apcRoutine,
                 PIO_STATUS_BLOCK ioStatus, ULONG code, PVOID input, ULONG inputLength, PVOID output,
                 ULONG outputLength) {
    const char *name = fileSystem ? "NtFsControlFile" : "NtDeviceIoControlFile";
    Call call(name);
    call.Arg("handle", fileHandle).ArgHex("code", code).ArgDec("inputLength", inputLength).ArgDec("outputLength",
                                                                                               outputLength);
    if (eventHandle) call.Arg("event", eventHandle);
    std::shared_ptr<FileObject> file;
    NTSTATUS lookup = LookupFile(fileHandle, file);
    std::shared_ptr<Device> device = file && file->kind == FileObject::Kind::Device ? file->device : nullptr;
    if (device && device->TraceRequestBuffers()) call.ArgBytes("input", input, input ? inputLength : 0);
    if (call.faulted()) return Injected(call, fileHandle);

    if (lookup) return call.Return(lookup);
    std::shared_ptr<Event> event;
    if (NTSTATUS status = LookupEvent(eventHandle, event)) return call.Return(status);
    if (!ioStatus || (!input && inputLength) || (!output && outputLength)) return call.Return(STATUS_ACCESS_VIOLATION);
    if (apcRoutine) return call.Return(STATUS_NOT_IMPLEMENTED);
    ULONG required = RequiredAccessOfControlCode(code);
    if (((required & FILE_READ_ACCESS) && !(file->granted & FILE_READ_DATA)) ||
        ((required & FILE_WRITE_ACCESS) && !(file->granted & FILE_WRITE_DATA)))
        return call.Return(STATUS_ACCESS_DENIED);
    if (file->cutOff) return call.Return(STATUS_VOLUME_DISMOUNTED);

    // Buffered: the input is taken now; the output is copied back at
    // completion.
    auto systemBuffer = std::make_shared<std::vector<uint8_t>>(std::max(inputLength, outputLength));
    if (inputLength) std::memcpy(systemBuffer->data(), input, inputLength);
    auto *out = static_cast<uint8_t *>(output);
    FileObject *self = file.get();
    Perform perform = [self, device, fileSystem, code, systemBuffer, inputLength, out, outputLength](
                          ULONG_PTR &information, Call &call) {
        if (!device)
            return fileSystem && IsVolumeControl(code) ? STATUS_INVALID_PARAMETER
                                                       : STATUS_INVALID_DEVICE_REQUEST;
        NTSTATUS status =
            fileSystem ? device->FsControl(*self, code, systemBuffer->data(), inputLength, outputLength, information)
                       : device->DeviceControl(*self, code, systemBuffer->data(), inputLength, outputLength,
                                               information);
        if (NT_ERROR(status)) information = 0;
        if (information > outputLength) information = outputLength;
        if (information) std::memcpy(out, systemBuffer->data(), information);
        if (device->TraceRequestBuffers()) call.ArgBytes("output", out, information);
        return status;
    };
    return Issue(call, name, file, ioStatus, event, std::move(perform));
}

int64_t FileTimeOf(const struct statx_timestamp &t) {
    constexpr int64_t kUnixEpochIn1601Units = 116444736000000000LL;
    return kUnixEpochIn1601Units + t.tv_sec * 10000000LL + t.tv_nsec / 100;
}

NTSTATUS BasicInformation(const FileObject &file, FILE_BASIC_INFORMATION &info) {
    struct statx sx {};
    int rc = file.fd >= 0 ? statx(file.fd, "", AT_EMPTY_PATH, STATX_BASIC_STATS | STATX_BTIME, &sx)
                          : statx(AT_FDCWD, file.hostPath.c_str(), 0, STATX_BASIC_STATS | STATX_BTIME, &sx);
    if (rc != 0) return StatusOfErrno(errno);
    // The creation time is the host's birth time where it keeps one, else
    // the last status change.
    info.CreationTime.QuadPart = FileTimeOf((sx.stx_mask & STATX_BTIME) ? sx.stx_btime : sx.stx_ctime);
    info.LastAccessTime.QuadPart = FileTimeOf(sx.stx_atime);
    info.LastWriteTime.QuadPart = FileTimeOf(sx.stx_mtime);
    info.ChangeTime.QuadPart = FileTimeOf(sx.stx_ctime);
    if (S_ISDIR(sx.stx_mode)) info.FileAttributes = FILE_ATTRIBUTE_DIRECTORY;
    else info.FileAttributes = FILE_ATTRIBUTE_ARCHIVE | ((sx.stx_mode & 0222) ? 0 : FILE_ATTRIBUTE_READONLY);
    return STATUS_SUCCESS;
}

}  // namespace

ACCESS_MASK MapFileAccess(ACCESS_MASK access) {
    ACCESS_MASK mapped = access & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
    if (access & GENERIC_READ) mapped |= FILE_GENERIC_READ;
    if (access & GENERIC_WRITE) mapped |= FILE_GENERIC_WRITE;
    if (access & GENERIC_EXECUTE) mapped |= FILE_GENERIC_EXECUTE;
    if (access & (GENERIC_ALL | MAXIMUM_ALLOWED)) mapped |= FILE_ALL_ACCESS;
    return mapped;
}

NTSTATUS OpenFileForSystem(std::u16string_view ntPath, ACCESS_MASK access, ULONG share,
                           std::shared_ptr<FileObject> &file) {
    ParsedName parsed;
    if (NTSTATUS status = ParseName(ntPath, parsed)) return status;
    if (parsed.kind != ParsedName::Kind::DriveFile) return STATUS_OBJECT_TYPE_MISMATCH;
    OpenRequest request{MapFileAccess(access), 0, share, FILE_OPEN, FILE_NON_DIRECTORY_FILE, true};
    ULONG_PTR information = kNoInformation;
    if (NTSTATUS status = OpenHostFile(parsed, request, file, information)) return status;
    file->granted = request.granted;
    file->share = share;
    RecordShareAccess(file);
    if (file->volume) file->volume->Opened(*file);
    return STATUS_SUCCESS;
}

void ReleaseSystemOpen(const std::shared_ptr<FileObject> &file) {
    if (file && !file->closed) file->OnLastHandleClosed();
}

// ---------------------------------------------------------------------------
// FileObject
// ---------------------------------------------------------------------------

FileObject::~FileObject() {
    if (fd >= 0) close(fd);
}

NTSTATUS FileObject::Wait(const std::optional<int64_t> &timeout) {
    if (!outstanding.empty()) {
        CompleteOutstanding();
        return STATUS_WAIT_0;
    }
    if (signalled) return STATUS_WAIT_0;
    return WaitOut(timeout);
}

void FileObject::CompleteOutstanding() {
    while (!outstanding.empty()) {
        PendingRequest request = std::move(outstanding.front());
        outstanding.pop_front();
        Call call("IoCompleteRequest");
        call.Arg("request", request.tag);
        ULONG_PTR information = 0;
        NTSTATUS status = call.faulted() ? call.faultStatus() : request.perform(information, call);
        call.ArgDec("information", static_cast<int64_t>(information));
        request.ioStatus->Status = status;
        request.ioStatus->Information = information;
        if (request.event) request.event->signalled = true;
        call.Return(status);
    }
    signalled = true;
}

void FileObject::OnLastHandleClosed() {
    closed = true;
    while (!outstanding.empty()) {
        PendingRequest request = std::move(outstanding.front());
        outstanding.pop_front();
        Call call("IoCompleteRequest");
        call.Arg("request", request.tag).Note("cancelled: its handle was closed");
        request.ioStatus->Status = STATUS_CANCELLED;
        request.ioStatus->Information = 0;
        if (request.event) request.event->signalled = true;
        call.Return(STATUS_CANCELLED);
    }
    ForgetShareAccess(this);
    if (volume) volume->Closed(*this);
    if (device && device != volume) device->Closed(*this);
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
}

uint64_t FileObject::HostFileSize() const {
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0) return 0;
    return static_cast<uint64_t>(st.st_size);
}

NTSTATUS FileObject::ReadAt(uint64_t offset, uint8_t *buffer, ULONG length, ULONG_PTR &information) {
    if (kind == Kind::Device) return device->Read(*this, offset, buffer, length, information);
    if (kind == Kind::HostDirectory) return STATUS_INVALID_DEVICE_REQUEST;
    if (length == 0) return STATUS_SUCCESS;
    uint64_t size = HostFileSize();
    if (offset >= size) return STATUS_END_OF_FILE;
    // Near the end, what there is.
    uint64_t wanted = std::min<uint64_t>(length, size - offset);
    uint64_t done = 0;
    while (done < wanted) {
        ssize_t n = pread(fd, buffer + done, wanted - done, static_cast<off_t>(offset + done));
        if (n < 0) return StatusOfErrno(errno);
        if (n == 0) break;
        done += static_cast<uint64_t>(n);
    }
    information = done;
    return STATUS_SUCCESS;
}

NTSTATUS FileObject::WriteAt(uint64_t offset, const uint8_t *buffer, ULONG length, bool toEnd,
                             ULONG_PTR &information) {
    if (kind == Kind::Device) {
        if (toEnd) return STATUS_INVALID_PARAMETER;
        return device->Write(*this, offset, buffer, length, information);
    }
    if (kind == Kind::HostDirectory) return STATUS_INVALID_DEVICE_REQUEST;
    if (toEnd) offset = HostFileSize();
    uint64_t done = 0;
    while (done < length) {
        ssize_t n = pwrite(fd, buffer + done, length - done, static_cast<off_t>(offset + done));
        if (n <= 0) return n < 0 ? StatusOfErrno(errno) : STATUS_DISK_FULL;
        done += static_cast<uint64_t>(n);
    }
    information = done;
    return STATUS_SUCCESS;
}

}  // namespace ntsim

// ---------------------------------------------------------------------------
// The native calls
// ---------------------------------------------------------------------------

using ntsim::Call;
using ntsim::FileObject;
using ntsim::Machine;

extern "C" {

NTSTATUS NTAPI NtCreateFile(PHANDLE fileHandle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes,
                            PIO_STATUS_BLOCK ioStatus, PLARGE_INTEGER allocationSize, ULONG fileAttributes,
                            ULONG shareAccess, ULONG createDisposition, ULONG createOptions, PVOID eaBuffer,
                            ULONG eaLength) {
    Call call("NtCreateFile");
    PUNICODE_STRING objectName = attributes ? attributes->ObjectName : nullptr;
    std::u16string_view name;
    if (objectName && objectName->Buffer) name = std::u16string_view(objectName->Buffer, objectName->Length / 2);
    call.Arg("path", objectName && objectName->Buffer ? ntsim::QuoteUtf16(name) : std::string("null"))
        .ArgHex("access", access)
        .ArgHex("attributes", fileAttributes)
        .ArgHex("share", shareAccess)
        .ArgDec("disposition", createDisposition)
        .ArgHex("options", createOptions);
    if (attributes) call.ArgHex("objectAttributes", attributes->Attributes);
    if (call.faulted()) return call.Return(call.faultStatus());
    // An open is always finished when the call returns.
    if (call.pended()) call.Note("opens never pend: completed at once");
    (void)allocationSize;  // sizes are the host's business

    if (!fileHandle || !ioStatus || !attributes) return call.Return(STATUS_ACCESS_VIOLATION);
    if (attributes->Length != sizeof(OBJECT_ATTRIBUTES)) return call.Return(STATUS_INVALID_PARAMETER);
    if (createDisposition > FILE_OVERWRITE_IF || (createOptions & ~FILE_VALID_OPTION_FLAGS) ||
        (shareAccess & ~(FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE)))
        return call.Return(STATUS_INVALID_PARAMETER);
    const ULONG syncOptions = createOptions & (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT);
    if (syncOptions == (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT) ||
        (syncOptions && !(access & SYNCHRONIZE)))
        return call.Return(STATUS_INVALID_PARAMETER);
    if ((createOptions & FILE_DIRECTORY_FILE) &&
        ((createOptions & FILE_NON_DIRECTORY_FILE) ||
         (createDisposition != FILE_CREATE && createDisposition != FILE_OPEN && createDisposition != FILE_OPEN_IF)))
        return call.Return(STATUS_INVALID_PARAMETER);
    if (eaBuffer || eaLength) return call.Return(STATUS_EAS_NOT_SUPPORTED);
    // Opens relative to a directory handle are not modelled.
    if (attributes->RootDirectory) return call.Return(STATUS_NOT_IMPLEMENTED);
    if (!objectName || objectName->Length == 0) return call.Return(STATUS_OBJECT_NAME_INVALID);
    if (!objectName->Buffer) return call.Return(STATUS_ACCESS_VIOLATION);
    if (objectName->Length % 2) return call.Return(STATUS_OBJECT_NAME_INVALID);
    if (name.front() != u'\\') return call.Return(STATUS_OBJECT_PATH_SYNTAX_BAD);
    if (name.find(u'\0') != name.npos) return call.Return(STATUS_OBJECT_NAME_INVALID);

    ntsim::ParsedName parsed;
    if (NTSTATUS status = ntsim::ParseName(name, parsed)) return call.Return(status);

    ntsim::OpenRequest request{ntsim::MapFileAccess(access), fileAttributes, shareAccess, createDisposition,
                               createOptions, (attributes->Attributes & OBJ_CASE_INSENSITIVE) != 0};
    std::shared_ptr<FileObject> file;
    ULONG_PTR information = ntsim::kNoInformation;
    NTSTATUS status;
    switch (parsed.kind) {
    case ntsim::ParsedName::Kind::Volume:
        status = ntsim::OpenVolume(parsed, request, file, information);
        break;
    case ntsim::ParsedName::Kind::NamedDevice:
        status = ntsim::OpenNamedDevice(parsed, request, file, information);
        break;
    default:
        status = ntsim::OpenHostFile(parsed, request, file, information);
        break;
    }
    if (information != ntsim::kNoInformation) {
        ioStatus->Status = status;
        ioStatus->Information = information;
        call.Note(ntsim::InformationName(information));
    }
    if (!NT_SUCCESS(status)) return call.Return(status);

    file->granted = request.granted;
    file->share = shareAccess;
    file->synchronous = syncOptions != 0;
    file->alertable = (syncOptions & FILE_SYNCHRONOUS_IO_ALERT) != 0;
    ntsim::RecordShareAccess(file);
    if (file->volume) file->volume->Opened(*file);
    if (file->device && file->device != file->volume) file->device->Opened(*file);
    *fileHandle = Machine::Get().Insert(file);
    call.Arg("handle", *fileHandle);
    return call.Return(status);
}

NTSTATUS NTAPI NtReadFile(HANDLE fileHandle, HANDLE event, PIO_APC_ROUTINE apcRoutine, PVOID apcContext,
                          PIO_STATUS_BLOCK ioStatus, PVOID buffer, ULONG length, PLARGE_INTEGER byteOffset,
                          PULONG key) {
    (void)apcContext;
    (void)key;  // byte-range locks are not modelled
    return ntsim::Transfer(false, fileHandle, event, apcRoutine, ioStatus, buffer, length, byteOffset);
}

NTSTATUS NTAPI NtWriteFile(HANDLE fileHandle, HANDLE event, PIO_APC_ROUTINE apcRoutine, PVOID apcContext,
                           PIO_STATUS_BLOCK ioStatus, PVOID buffer, ULONG length, PLARGE_INTEGER byteOffset,
                           PULONG key) {
    (void)apcContext;
    (void)key;
    return ntsim::Transfer(true, fileHandle, event, apcRoutine, ioStatus, buffer, length, byteOffset);
}

NTSTATUS NTAPI NtQueryInformationFile(HANDLE fileHandle, PIO_STATUS_BLOCK ioStatus, PVOID information,
                                      ULONG length, FILE_INFORMATION_CLASS informationClass) {
    Call call("NtQueryInformationFile");
    call.Arg("handle", fileHandle).ArgDec("class", informationClass).ArgDec("length", length);
    if (call.faulted()) return ntsim::Injected(call, fileHandle);
    std::shared_ptr<FileObject> file;
    if (NTSTATUS status = ntsim::LookupFile(fileHandle, file)) return call.Return(status);
    if (!ioStatus) return call.Return(STATUS_ACCESS_VIOLATION);
    ULONG size;
    switch (informationClass) {
    case FileBasicInformation: size = sizeof(FILE_BASIC_INFORMATION); break;
    case FileStandardInformation: size = sizeof(FILE_STANDARD_INFORMATION); break;
    case FilePositionInformation: size = sizeof(FILE_POSITION_INFORMATION); break;
    default: return call.Return(STATUS_INVALID_INFO_CLASS);
    }
    // Shorter than the record is refused; a longer buffer receives the
    // record.
    if (length < size) return call.Return(STATUS_INFO_LENGTH_MISMATCH);
    if (!information) return call.Return(STATUS_ACCESS_VIOLATION);
    if (informationClass == FileBasicInformation && !(file->granted & FILE_READ_ATTRIBUTES))
        return call.Return(STATUS_ACCESS_DENIED);
    auto *out = static_cast<uint8_t *>(information);
    FileObject *self = file.get();  // the request belongs to the file object
    ntsim::Perform perform = [self, informationClass, size, out](ULONG_PTR &done, Call &) {
        if (informationClass == FilePositionInformation) {
            FILE_POSITION_INFORMATION position{};
            position.CurrentByteOffset.QuadPart = static_cast<LONGLONG>(self->position);
            std::memcpy(out, &position, sizeof position);
            done = size;
            return STATUS_SUCCESS;
        }
        if (self->kind == FileObject::Kind::Device) return STATUS_INVALID_DEVICE_REQUEST;
        if (informationClass == FileBasicInformation) {
            FILE_BASIC_INFORMATION basic{};
            if (NTSTATUS status = ntsim::BasicInformation(*self, basic)) return status;
            std::memcpy(out, &basic, sizeof basic);
        } else {
            FILE_STANDARD_INFORMATION standard{};
            struct stat st {};
            if (fstat(self->fd, &st) != 0) return ntsim::StatusOfErrno(errno);
            bool directory = S_ISDIR(st.st_mode);
            standard.AllocationSize.QuadPart = directory ? 0 : static_cast<LONGLONG>(st.st_blocks) * 512;
            standard.EndOfFile.QuadPart = directory ? 0 : static_cast<LONGLONG>(st.st_size);
            standard.NumberOfLinks = static_cast<ULONG>(st.st_nlink);
            standard.Directory = directory;
            std::memcpy(out, &standard, sizeof standard);
        }
        done = size;
        return STATUS_SUCCESS;
    };
    return ntsim::Issue(call, "NtQueryInformationFile", file, ioStatus, nullptr, std::move(perform));
}

NTSTATUS NTAPI NtSetInformationFile(HANDLE fileHandle, PIO_STATUS_BLOCK ioStatus, PVOID information, ULONG length,
                                    FILE_INFORMATION_CLASS informationClass) {
    Call call("NtSetInformationFile");
    call.Arg("handle", fileHandle).ArgDec("class", informationClass).ArgDec("length", length);
    if (information && informationClass == FilePositionInformation && length >= sizeof(FILE_POSITION_INFORMATION)) {
        LARGE_INTEGER offset;
        std::memcpy(&offset, information, sizeof offset);
        call.ArgDec("offset", offset.QuadPart);
    }
    if (call.faulted()) return ntsim::Injected(call, fileHandle);
    std::shared_ptr<FileObject> file;
    if (NTSTATUS status = ntsim::LookupFile(fileHandle, file)) return call.Return(status);
    if (!ioStatus) return call.Return(STATUS_ACCESS_VIOLATION);
    if (informationClass != FilePositionInformation) return call.Return(STATUS_INVALID_INFO_CLASS);
    if (length < sizeof(FILE_POSITION_INFORMATION)) return call.Return(STATUS_INFO_LENGTH_MISMATCH);
    if (!information) return call.Return(STATUS_ACCESS_VIOLATION);
    // The record is taken when the request is issued.
    LARGE_INTEGER offset;
    std::memcpy(&offset, information, sizeof offset);
    FileObject *self = file.get();  // the request belongs to the file object
    ntsim::Perform perform = [self, offset](ULONG_PTR &, Call &) {
        if (offset.QuadPart < 0) return STATUS_INVALID_PARAMETER;
        self->position = static_cast<uint64_t>(offset.QuadPart);
        return STATUS_SUCCESS;
    };
    return ntsim::Issue(call, "NtSetInformationFile", file, ioStatus, nullptr, std::move(perform));
}

NTSTATUS NTAPI NtDeviceIoControlFile(HANDLE fileHandle, HANDLE event, PIO_APC_ROUTINE apcRoutine, PVOID apcContext,
                                     PIO_STATUS_BLOCK ioStatus, ULONG ioControlCode, PVOID inputBuffer,
                                     ULONG inputLength, PVOID outputBuffer, ULONG outputLength) {
    (void)apcContext;
    return ntsim::Control(false, fileHandle, event, apcRoutine, ioStatus, ioControlCode, inputBuffer, inputLength,
                          outputBuffer, outputLength);
}

NTSTATUS NTAPI NtFsControlFile(HANDLE fileHandle, HANDLE event, PIO_APC_ROUTINE apcRoutine, PVOID apcContext,
                               PIO_STATUS_BLOCK ioStatus, ULONG fsControlCode, PVOID inputBuffer, ULONG inputLength,
                               PVOID outputBuffer, ULONG outputLength) {
    (void)apcContext;
    return ntsim::Control(true, fileHandle, event, apcRoutine, ioStatus, fsControlCode, inputBuffer, inputLength,
                          outputBuffer, outputLength);
}

}  // extern "C"
