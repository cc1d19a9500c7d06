// The room on a fresh volume: its free clusters, read from the file system
// as the tools made it, against the clusters each file's data needs at the
// least (an NTFS file of up to one 1 KiB file record may live inside it, so
// it needs none). A file that passes can still meet a full volume when the
// folders' own clusters tip it over; that failure names the file too.
#include "tools/pelmar-prepare/volume_room.h"

#include <sys/stat.h>

#include <map>

#include "tools/fs/volume_layout.h"

namespace pelmar_tools {

bool CheckRoom(const std::string &raw, const std::vector<ContentStep> &steps, std::string &error) {
    uint8_t boot[512];
    struct stat st;
    VolumeLayout layout;
    Recognition r = Recognition::NotThisKind;
    std::unique_ptr<VolumeSource> volume = OpenVolumeFile(raw, error);
    if (volume && volume->ReadAt(0, boot, sizeof boot, error)) r = ReadVolumeLayout(*volume, boot, layout, error);
    if (r != Recognition::Recognised || layout.clusterBytes == 0) {
        error = "cannot read the new volume's free space" + (error.empty() ? "" : ": " + error);
        return false;
    }
    const uint64_t free = (layout.clusters - layout.usedClusters) * layout.clusterBytes;
    std::map<std::string, uint64_t> taken;  // by path: a replaced file gives its clusters back
    uint64_t total = 0;
    for (const ContentStep &step : steps) {
        if (step.source.empty() || stat(step.source.c_str(), &st) != 0) continue;
        const uint64_t size = static_cast<uint64_t>(st.st_size);
        const uint64_t needs = layout.kind == FileSystemKind::Ntfs && size <= 1024
                                   ? 0
                                   : (size + layout.clusterBytes - 1) / layout.clusterBytes * layout.clusterBytes;
        total -= taken[step.path];
        if (total + needs > free) {
            error = "--copy " + step.source + ":" + step.path + ": the file does not fit on the volume: its " +
                    std::to_string(size) + " bytes take " + std::to_string(needs) + " bytes in clusters of " +
                    std::to_string(layout.clusterBytes) + ", and the new " + KindName(layout.kind) +
                    " volume has " + std::to_string(free) + " bytes free" +
                    (total ? ", " + std::to_string(total) + " of them taken by the files before it" : "");
            return false;
        }
        taken[step.path] = needs;
        total += needs;
    }
    return true;
}

}  // namespace pelmar_tools
