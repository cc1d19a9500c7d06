// Windows security descriptors for the NTFS volumes pelmar-prepare makes:
// the root's descriptor as Windows' own format gives it, inheritance from a
// folder to what is made in it as Windows computes it, the folder for
// temporary files (their form and the rule of who may redirect a folder
// are tools/fs/ntfs_descriptor.h's).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/fs/ntfs_descriptor.h"

extern "C" {
struct _ntfs_volume;
struct _ntfs_inode;
}

namespace pelmar_tools {

// What Windows' format gives a new volume's root, and the parent of the
// users' folders for temporary files (users may only pass through it).
Descriptor VolumeRootDescriptor();
Descriptor TemporaryFilesDescriptor();

// A folder of the image that users may read and list, and nothing else:
// what a --mkdir folder gets where inheritance would let users write to it.
Descriptor ReadOnlyFolderDescriptor();

// A user's own folder for temporary files, `sid` its owner: that user,
// SYSTEM and Administrators, protected from what its parent gives.
Descriptor UserFolderDescriptor(const std::string &sid);

// The descriptor Windows gives a folder (or a file) made in a folder with
// `parent`'s descriptor by a creator with the given owner and group.
Descriptor Inherit(const Descriptor &parent, bool folder, const std::string &owner, const std::string &group);

// The descriptor of an open inode of a mounted volume whose $Secure is open
// (ntfs_open_secure), through libntfs-3g's security interface.
bool SetDescriptor(_ntfs_volume *volume, _ntfs_inode *inode, const Descriptor &descriptor,
                   std::string &error);
bool GetDescriptor(_ntfs_volume *volume, _ntfs_inode *inode, Descriptor &descriptor, std::string &error);

}  // namespace pelmar_tools
