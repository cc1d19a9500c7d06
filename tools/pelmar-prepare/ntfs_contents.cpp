// Folders and files put on an NTFS volume through libntfs-3g, for
// pelmar-prepare.
#include "tools/pelmar-prepare/ntfs_contents.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "tools/pelmar-prepare/libntfs3g.h"
#include "tools/pelmar-prepare/ntfs_security.h"
#include "tools/pelmar-prepare/windows_names.h"

extern "C" {
#include <ntfs-3g/endians.h>
#include <ntfs-3g/security.h>
}

namespace pelmar_tools {
namespace {

struct Name {
    ntfschar *units = nullptr;
    int length = -1;
    explicit Name(const std::string &text) { length = ntfs_mbstoucs(text.c_str(), &units); }
    ~Name() { std::free(units); }
};

// The folder holding `path` ("/A/B" holds "B" in "/A").
ntfs_inode *OpenParent(ntfs_volume *vol, const std::string &path) {
    std::string parent = path.substr(0, path.rfind('/'));
    return parent.empty() ? ntfs_inode_open(vol, FILE_root)
                          : ntfs_pathname_to_inode(vol, nullptr, parent.c_str());
}

std::string LastName(const std::string &path) {
    return path.substr(path.rfind('/') + 1);
}

std::string Why(const std::string &what, const std::string &path) {
    return "cannot " + what + " " + path + " on the NTFS volume: " + std::strerror(errno);
}

// What pelmar-prepare makes, it makes as an administrator would: the
// Administrators group owns it.
bool Secure(ntfs_volume *vol, ntfs_inode *parent, ntfs_inode *made, bool folder, bool temporary,
            std::string &error, const std::string &owner = {}) {
    Descriptor from;
    if (!owner.empty()) return SetDescriptor(vol, made, UserFolderDescriptor(owner), error);
    if (temporary) return SetDescriptor(vol, made, TemporaryFilesDescriptor(), error);
    if (!GetDescriptor(vol, parent, from, error)) return false;
    // A folder of the image is empty after every boot: where inheritance
    // would let users write to it, it keeps their read and list rights only.
    Descriptor inherited = Inherit(from, folder, kAdministrators, kSystem);
    if (folder && OthersMayRedirect(inherited)) inherited = ReadOnlyFolderDescriptor();
    return SetDescriptor(vol, made, inherited, error);
}

bool MakeFolder(ntfs_volume *vol, const std::string &path, bool temporary, const std::string &owner,
                std::string &error) {
    ntfs_inode *parent = OpenParent(vol, path);
    Name name(LastName(path));
    ntfs_inode *made = parent && name.length > 0 ? ntfs_create(parent, const_cpu_to_le32(0), name.units,
                                                               static_cast<u8>(name.length), S_IFDIR)
                                                 : nullptr;
    if (!made) error = Why("make the folder", path);
    const bool ok = made && Secure(vol, parent, made, true, temporary, error, owner);
    if (made) ntfs_inode_close(made);
    if (parent) ntfs_inode_close(parent);
    return ok;
}

bool CopyFile(ntfs_volume *vol, const std::string &from, const std::string &path, bool replace,
              std::string &error) {
    Name name(LastName(path));
    if (name.length <= 0) {
        error = Why("name", path);
        return false;
    }
    int fd = open(from.c_str(), O_RDONLY);
    if (fd < 0) {
        error = "cannot open " + from + ": " + std::strerror(errno);
        return false;
    }
    // A file that is there already keeps its entry and gets the new contents.
    ntfs_inode *parent = OpenParent(vol, path), *file = nullptr;
    if (parent && replace) {
        const u64 found = ntfs_inode_lookup_by_mbsname(parent, LastName(path).c_str());
        if (found != static_cast<u64>(-1)) file = ntfs_inode_open(vol, MREF(found));
    } else if (parent) {
        file = ntfs_create(parent, const_cpu_to_le32(0), name.units, static_cast<u8>(name.length), S_IFREG);
        if (file && !Secure(vol, parent, file, false, false, error)) {
            ntfs_inode_close(file);
            ntfs_inode_close(parent);
            close(fd);
            return false;
        }
    }
    // Closed before the file: closing the file updates its entry in the
    // folder, which libntfs-3g opens for that itself.
    if (parent) ntfs_inode_close(parent);
    ntfs_attr *data = file ? ntfs_attr_open(file, AT_DATA, AT_UNNAMED, 0) : nullptr;
    if (data && replace && ntfs_attr_truncate(data, 0) != 0) {
        ntfs_attr_close(data);
        data = nullptr;
    }
    bool ok = data != nullptr;
    if (!ok) error = Why(replace ? "replace" : "create", path);
    std::vector<char> block(1 << 20);
    for (s64 at = 0; ok;) {
        ssize_t n = read(fd, block.data(), block.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = "cannot read " + from + ": " + std::strerror(errno);
            ok = false;
        } else if (n == 0) {
            break;
        } else if (ntfs_attr_pwrite(data, at, n, block.data()) != n) {
            error = Why("write", path);
            ok = false;
        }
        at += n;
    }
    close(fd);
    if (data) ntfs_attr_close(data);
    if (file && ntfs_inode_close(file) != 0 && ok) {
        error = Why("finish", path);
        ok = false;
    }
    return ok;
}

}  // namespace

bool PutOnNtfs(const std::string &raw, const std::vector<ContentStep> &steps, std::string &error) {
    NtfsVolume volume;
    if (!volume.Mount(raw, false, error)) return false;
    // The paths were told apart by this table before the volume existed; the
    // volume compares names by its own, which must be the same.
    const std::vector<uint16_t> &upcase = UpcaseTable();
    bool sameUpcase = volume.get()->upcase_len == upcase.size();
    for (size_t i = 0; sameUpcase && i < upcase.size(); ++i)
        sameUpcase = le16_to_cpu(volume.get()->upcase[i]) == upcase[i];
    if (!sameUpcase) {
        error = "the new NTFS volume compares names by another upcase table than Windows'";
        return false;
    }
    // Descriptors are shared through $Secure, as Windows keeps them.
    if (ntfs_open_secure(volume.get()) != 0) {
        error = "libntfs-3g cannot open the volume's $Secure";
        return false;
    }
    ntfs_inode *root = ntfs_inode_open(volume.get(), FILE_root);
    bool ok = root && SetDescriptor(volume.get(), root, VolumeRootDescriptor(), error);
    if (!root) error = Why("open", "/");
    if (root) ntfs_inode_close(root);
    for (const ContentStep &step : steps) {
        if (!ok) break;
        ok = step.source.empty() ? MakeFolder(volume.get(), step.path, step.temporary, step.owner, error)
                                 : CopyFile(volume.get(), step.source, step.path, step.replaces, error);
    }
    ntfs_close_secure(volume.get());
    if (!ok) return false;
    if (!volume.Unmount()) {
        error = "cannot write the NTFS volume back: " + std::string(std::strerror(errno));
        return false;
    }
    return true;
}

}  // namespace pelmar_tools
