// The output file on Linux: a temporary file made with mkstemp beside the
// name, renamed over it at Commit, removed on a stop signal meanwhile.
#include "tools/platform/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

#include "tools/platform/stop_signals.h"

namespace pelmar_tools {

namespace {
int Descriptor(intptr_t file) { return static_cast<int>(file); }
}  // namespace

bool OutputFile::Check(std::string &error) const {
    std::string target;
    return Destination(target, error);
}

bool OutputFile::Open(std::string &error) {
    if (!Destination(target_, error)) return false;
    StopSignalsHeld held;
    temp_ = target_ + ".partXXXXXX";
    file_ = mkstemp(temp_.data());
    if (file_ < 0) {
        error = "cannot create " + temp_ + ": " + std::strerror(errno);
        temp_.clear();
        return false;
    }
    if (!RemoveOnStop(temp_)) {
        Abandon();
        error = "cannot create a temporary file for " + path_ + ": its name is too long";
        return false;
    }
    return true;
}

bool OutputFile::WriteAt(uint64_t offset, const void *bytes, size_t length, std::string &error) {
    const auto *p = static_cast<const uint8_t *>(bytes);
    while (length) {
        ssize_t n = pwrite(Descriptor(file_), p, length, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error = "cannot write " + path_ + ": " + std::strerror(n < 0 ? errno : ENOSPC);
            return false;
        }
        p += n;
        offset += static_cast<uint64_t>(n);
        length -= static_cast<size_t>(n);
    }
    return true;
}

bool OutputFile::Resize(uint64_t size, std::string &error) {
    if (ftruncate(Descriptor(file_), static_cast<off_t>(size)) != 0) {
        error = "cannot size " + path_ + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

bool OutputFile::Commit(std::string &error) {
    OutputFile *self = this;
    return CommitTogether({self}, error);
}

void OutputFile::Abandon() {
    StopSignalsHeld held;
    if (file_ >= 0) close(Descriptor(file_));
    file_ = -1;
    if (!temp_.empty()) {
        unlink(temp_.c_str());
        KeepOnStop(temp_);
    }
    temp_.clear();
}

bool OutputFile::Destination(std::string &target, std::string &error) const {
    target = path_;
    struct stat st;
    for (int links = 0; lstat(target.c_str(), &st) == 0 && S_ISLNK(st.st_mode); ++links) {
        if (!follow_) {
            error = path_ + " is a symbolic link; " +
                    (followOption_.empty() ? std::string("neither it nor the file it points to is replaced")
                                           : "give " + followOption_ + " to replace the file it points to");
            return false;
        }
        std::string to(4096, '\0');
        ssize_t n = readlink(target.c_str(), to.data(), to.size());
        if (n <= 0 || static_cast<size_t>(n) >= to.size() || links == 40) {
            error = "cannot follow the symbolic link " + target + ": " +
                    std::strerror(n < 0 ? errno : ELOOP);
            return false;
        }
        to.resize(static_cast<size_t>(n));
        size_t slash = target.rfind('/');
        target = to[0] == '/' || slash == std::string::npos ? to : target.substr(0, slash + 1) + to;
    }
    if (lstat(target.c_str(), &st) != 0) {
        if (errno == ENOENT) return true;  // a new file; its folder is checked by creating it
        error = "cannot examine " + target + ": " + std::strerror(errno);
        return false;
    }
    const char *what = S_ISDIR(st.st_mode)                          ? "a folder"
                       : S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode) ? "a device"
                       : S_ISFIFO(st.st_mode)                       ? "a FIFO"
                       : !S_ISREG(st.st_mode)                       ? "not an ordinary file"
                                                                    : nullptr;
    if (what) {
        error = target + " is " + what + "; the output must be an ordinary file";
        return false;
    }
    for (const std::string &input : inputs_) {
        struct stat in;
        if (stat(input.c_str(), &in) == 0 && in.st_dev == st.st_dev && in.st_ino == st.st_ino) {
            error = "the output " + path_ + " is the input " + input + " itself";
            return false;
        }
    }
    return true;
}

bool OutputFile::Finish(std::string &error) {
    if (file_ < 0) {
        error = "cannot finish " + path_ + ": it was not made";
        return false;
    }
    // mkstemp makes the file private; the result gets ordinary rights.
    mode_t mask = umask(0);
    umask(mask);
    bool ok = fchmod(Descriptor(file_), 0666 & ~mask) == 0 && fsync(Descriptor(file_)) == 0;
    int finishError = errno;
    ok = close(Descriptor(file_)) == 0 && ok;
    if (!ok && finishError == 0) finishError = errno;
    file_ = -1;
    if (!ok) error = "cannot finish " + path_ + ": " + std::strerror(finishError);
    return ok;
}

bool CommitTogether(std::initializer_list<OutputFile *> outputs, std::string &error) {
    struct Step {
        OutputFile *output;
        std::string backup;  // the old file kept aside; empty when there was none
        bool linked = false;  // the backup is a second name (else the old file was renamed aside)
        bool placed = false;  // the new file is under its name
    };
    std::vector<Step> steps;
    for (OutputFile *output : outputs) {
        std::string target;
        if (!output->Finish(error) || !output->Destination(target, error)) return false;
        if (target != output->target_) {
            error = output->path_ + " changed while it was written";
            return false;
        }
        steps.push_back({output, {}, false, false});
    }
    StopSignalsHeld held;
    // Puts the old set back and removes what was kept aside; the message says
    // where an old file stays if even that fails.
    auto restore = [&](std::string reason) {
        for (Step &step : steps) {
            const std::string &target = step.output->target_;
            bool ok = true;
            if (step.placed || (!step.backup.empty() && !step.linked))
                ok = step.backup.empty() ? unlink(target.c_str()) == 0
                                         : rename(step.backup.c_str(), target.c_str()) == 0;
            else if (!step.backup.empty())
                unlink(step.backup.c_str());
            if (!ok && !step.backup.empty()) reason += "; the old " + target + " is kept as " + step.backup;
        }
        error = reason;
        return false;
    };
    for (Step &step : steps) {
        const std::string &target = step.output->target_;
        struct stat st;
        if (lstat(target.c_str(), &st) != 0) continue;
        // A free name beside the old file; hard links and renames stay on its
        // file system.
        for (int attempt = 0; attempt < 100 && step.backup.empty(); ++attempt) {
            std::string name = target + ".oldXXXXXX";
            int fd = mkstemp(name.data());
            if (fd < 0) break;
            close(fd);
            unlink(name.c_str());
            if (link(target.c_str(), name.c_str()) == 0) {
                step.backup = name;
                step.linked = true;
            } else if (errno != EEXIST) {
                if (rename(target.c_str(), name.c_str()) != 0) break;
                step.backup = name;
            }
        }
        if (step.backup.empty())
            return restore("cannot keep the old " + target + " aside: " + std::strerror(errno));
    }
    for (Step &step : steps) {
        if (rename(step.output->temp_.c_str(), step.output->target_.c_str()) != 0)
            return restore("cannot rename " + step.output->temp_ + " to " + step.output->target_ + ": " +
                           std::strerror(errno));
        step.placed = true;
    }
    for (Step &step : steps) {
        if (!step.backup.empty()) unlink(step.backup.c_str());
        KeepOnStop(step.output->temp_);
        step.output->temp_.clear();
    }
    return true;
}

}  // namespace pelmar_tools

