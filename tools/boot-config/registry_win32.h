// The registry on Windows, as both programs read and write it: a value read
// whole (retried while it grows under the read), written in one call or
// deleted when absent, a key closed with its holder, and a value named by
// its key, opened for that one read or write.
#pragma once

#include <windows.h>

#include <string>

#include "tools/boot-config/registry_value.h"

namespace pelmar_tools {

// The value (absent when there is none); false and why when it cannot be read.
bool ReadValue(HKEY key, const wchar_t *name, RegistryValue &value, std::string &error);
// Writes the value in one call, or deletes it when it is not present (a
// value already gone is no failure); false and why otherwise.
bool WriteValue(HKEY key, const wchar_t *name, const RegistryValue &value, std::string &error);

// Opens (or, with `create`, makes) the key `name` right under `parent` as
// itself: a registry link there is opened, not followed, and refused, as is
// a key whose name as the system reports it is not `fullName` (such as
// "\REGISTRY\USER\S-1-5-21-...\Environment", in any case). `refused` says
// whether it failed for that reason; `why` says why it failed. Keys a user
// may replace are opened this way before anything is written through them.
HKEY OpenKeyAsItself(HKEY parent, const std::wstring &name, const std::wstring &fullName, REGSAM access, bool create,
                     bool &refused, std::string &why);

// An open key, closed with it.
class RegistryKey {
  public:
    RegistryKey() = default;
    // Opens `path` under `root`; `error` says why when it cannot (and
    // `missing` whether that is because the key is not there).
    RegistryKey(HKEY root, const std::wstring &path, REGSAM access) { Open(root, path, access); }
    ~RegistryKey();
    RegistryKey(const RegistryKey &) = delete;
    RegistryKey &operator=(const RegistryKey &) = delete;
    bool Open(HKEY root, const std::wstring &path, REGSAM access);
    // Opens, or makes, `path` under `root`; `created` says whether it is new.
    bool Create(HKEY root, const std::wstring &path, REGSAM access, bool *created = nullptr);

    explicit operator bool() const { return key_ != nullptr; }
    HKEY get() const { return key_; }
    bool missing() const { return missing_; }
    const std::string &error() const { return error_; }

  private:
    HKEY key_ = nullptr;
    bool missing_ = false;
    std::string error_;
};

// A value with its key, read and written whole. A read of a key that is not
// there finds the value absent; a write of a present value makes the key.
struct RegistryPlace {
    HKEY root;
    std::wstring key, name;
    bool Read(RegistryValue &value, std::string &error) const;
    bool Write(const RegistryValue &value, std::string &error) const;
};

}  // namespace pelmar_tools
