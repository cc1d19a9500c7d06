// The machine's settings through which a boot's scratch drive could outlive
// the machine's stop, apart from the platform: Fast Startup (the kernel
// session hibernated at "Shut down", so the boot-time run never happens),
// hibernation (the kernel's memory, the driver's keys with it, in
// C:\hiberfil.sys), crash dumps that hold kernel memory, and paging files
// written in the clear. pelmar-install turns them off (what it may change,
// what it refuses, the lines it says), records each change so that
// uninstall gives back type and bytes, and pelmar-service checks at each
// start and resume that nothing turned them back. The system is behind
// PowerSystem: power_settings_win32.cpp on Windows, a double in the tools'
// tests.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/boot-config/change_set.h"
#include "tools/boot-config/registry_value.h"

namespace pelmar_tools {

enum class PowerSetting { FastStartup, Hibernation, CrashDumps, PagingEncryption };
inline constexpr PowerSetting kPowerSettings[] = {PowerSetting::FastStartup, PowerSetting::Hibernation,
                                                  PowerSetting::CrashDumps, PowerSetting::PagingEncryption};

// Where the setting lives, in words ("HiberbootEnabled under ..."), and the
// name of its record (the service's contract).
std::string SettingName(PowerSetting setting);
const char *SettingRecordName(PowerSetting setting);

// What decides, besides the settings' values: the system's version (as the
// kernel reports it, not as a manifest-less program is told), Group
// Policy's "Require use of fast startup", whether dumps are encrypted, and
// whether the machine can hibernate at all.
struct PowerContext {
    uint32_t major = 0, minor = 0;
    std::optional<uint32_t> fastStartupPolicy;
    bool dumpEncryption = false;
    bool hibernationSupported = false;
    // Set where the system reports a hibernation file that its power
    // interface cannot free (Wine's stub): why, for install's line.
    std::string hibernationUncontrolled;
};

// The record of one change: the value before install (type and bytes, or
// absent) and the value install wrote.
struct PowerRecord {
    RegistryValue before, wrote;
    bool operator==(const PowerRecord &) const = default;
};

class PowerSystem {
  public:
    virtual ~PowerSystem() = default;
    virtual PowerContext Context() = 0;
    // The setting's value (Hibernation: REG_DWORD 1 while the system keeps
    // a hibernation file, 0 otherwise).
    virtual bool ReadSetting(PowerSetting setting, RegistryValue &value, std::string &error) = 0;
    virtual bool WriteSetting(PowerSetting setting, const RegistryValue &value, std::string &error) = 0;
    virtual bool ReadRecord(PowerSetting setting, PowerRecord &record) = 0;
    virtual bool WriteRecord(PowerSetting setting, const PowerRecord &record, std::string &error) = 0;
    virtual void ForgetRecord(PowerSetting setting) = 0;
};

// install's choices.
struct PowerChoices {
    bool keepHibernation = false;
    enum class Dumps { Small, None, Keep } dumps = Dumps::Small;
    bool keepPagingPlain = false;
};
// Takes --keep-hibernation, --dumps small|none|keep and --keep-paging-plain
// out of the words (anywhere among them); false and why for a bad one.
bool IsPowerOption(const std::string &word);
bool TakePowerOptions(std::vector<std::string> &words, PowerChoices &choices, std::string &why);

struct PowerChange {
    PowerSetting setting;
    RegistryValue to;
    std::string line;  // what install says when it is done
    // An earlier install's change given back (the options now keep the
    // setting): its record goes with it.
    bool givesBack = false;
};
struct PowerPlan {
    std::string refusal;               // set: install refuses, nothing changed
    std::vector<PowerChange> changes;  // in order
    std::vector<std::string> lines;    // what stays as it is, and why (standing exposures among them)
};
// What install changes, from the settings' values as they are now.
PowerPlan PlanPower(PowerSystem &system, const PowerChoices &choices);

// The plan's changes as steps of install's `changes`, each recorded before
// it is made and undone (value and record as they were) at a roll-back; a
// reinstall keeps the value from before the first install. `lines` gets
// what install says once it is done; false and why at the first that fails.
bool AddPowerSteps(ChangeSet &changes, PowerSystem &system, const PowerPlan &plan, std::vector<std::string> &lines,
                   std::string &why);

// uninstall's steps: every recorded value back, type and bytes or absent,
// where it still holds what install wrote; a value changed since is left,
// and said. Each record goes with its step, and comes back with its undoing.
// False and why when a value could not be read or written.
bool AddGiveBackSteps(ChangeSet &changes, PowerSystem &system, std::vector<std::string> &lines, std::string &why);

// status: each setting as it is, what install changed, and the standing
// exposures; `problems` gets what breaks the drive's promise (Fast Startup on).
void PowerStatus(PowerSystem &system, std::vector<std::string> &lines, std::vector<std::string> &problems);

// The service's check: each recorded setting that no longer holds what
// install wrote, in words; Fast Startup is written back (install's record
// kept) and the line says whether that worked.
std::vector<std::string> TurnedBack(PowerSystem &system);

}  // namespace pelmar_tools
