// An output file that appears under its name only when it is complete: the
// bytes go to a temporary file beside it, which takes the name at Commit
// and is removed if the writer gives up (or, on Linux, a stop signal
// arrives). The same calls and messages on every platform; each has a file
// of its own (output_file_posix.cpp, output_file_win32.cpp).
//
// Nothing that was there before is lost on the way: the name must be free or
// an ordinary file that is none of the tool's inputs (the same file by
// identity, so a hard link counts too); a folder or a device is refused.
// A symbolic link is refused unless following it was asked for (Linux; on
// Windows a link or junction is always refused, since the file it points to
// cannot be named there without calls that Windows Server 2003 lacks).
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace pelmar_tools {

class OutputFile {
  public:
    explicit OutputFile(std::string path) : path_(std::move(path)) {}
    ~OutputFile() { Abandon(); }
    OutputFile(const OutputFile &) = delete;
    OutputFile &operator=(const OutputFile &) = delete;

    // The output may not be this file (an input the tool reads).
    void NotTheInput(const std::string &inputPath) { inputs_.push_back(inputPath); }
    // Whether a symbolic link is followed, and the option that asks for it
    // (named in the refusal; empty when the tool has none).
    void FollowSymlink(bool follow, std::string option = "") {
        follow_ = follow;
        followOption_ = std::move(option);
    }

    // Whether the name may take the output, without making anything.
    bool Check(std::string &error) const;
    // Checks the name and creates the temporary file; false and an
    // explanation otherwise.
    bool Open(std::string &error);
    bool WriteAt(uint64_t offset, const void *bytes, size_t length, std::string &error);
    // Sets the final size (regions never written read as zero bytes).
    bool Resize(uint64_t size, std::string &error);
    bool Commit(std::string &error);

    // The temporary file's name while it is being written (empty otherwise).
    const std::string &temporaryPath() const { return temp_; }

    void Abandon();

    // Puts every output (each opened and complete) under its name, or none:
    // an old file under a name is kept aside as a hard link (or renamed aside
    // where the file system has no hard links) until all are in place, and put
    // back when one of them cannot be. The stop signals wait meanwhile.
    // Linux only (pelmar-prepare's pair of outputs).
    friend bool CommitTogether(std::initializer_list<OutputFile *> outputs, std::string &error);

  private:
    // The file the output replaces or creates (the link's target when a
    // symbolic link is followed), checked.
    bool Destination(std::string &target, std::string &error) const;
    // Gives the complete file ordinary rights and makes it durable.
    bool Finish(std::string &error);

    std::string path_;
    std::string target_;
    std::string temp_;
    std::vector<std::string> inputs_;
    bool follow_ = false;
    std::string followOption_;
    // The temporary file while it is open: a descriptor on Linux, a handle on
    // Windows; -1 (INVALID_HANDLE_VALUE there) otherwise.
    intptr_t file_ = -1;
};

bool CommitTogether(std::initializer_list<OutputFile *> outputs, std::string &error);

}  // namespace pelmar_tools
