// PowerSystem on Windows: the settings' registry values, hibernation
// through the power interface (CallNtPowerInformation, powrprof.dll from
// System32, looked up at run time so that the programs import nothing
// Windows Server 2003 x64 lacks), and install's records under the service's
// Parameters key. Also install's, uninstall's and status's part for them.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "tools/pelmar-install/power_settings.h"

namespace pelmar_tools {

class Win32PowerSystem : public PowerSystem {
  public:
    PowerContext Context() override;
    bool ReadSetting(PowerSetting setting, RegistryValue &value, std::string &error) override;
    bool WriteSetting(PowerSetting setting, const RegistryValue &value, std::string &error) override;
    bool ReadRecord(PowerSetting setting, PowerRecord &record) override;
    bool WriteRecord(PowerSetting setting, const PowerRecord &record, std::string &error) override;
    void ForgetRecord(PowerSetting setting) override;
};

// The system's version as the kernel reports it (RtlGetVersion).
void KernelVersion(uint32_t &major, uint32_t &minor);

// install: takes the options out of its words; false and why for a bad one.
bool TakePowerOptions(int &count, wchar_t **words, PowerChoices &choices, std::string &why);
// install, after the checks: the plan, or its refusal in `why`.
bool CheckPowerInstall(const PowerChoices &choices, PowerPlan &plan, std::string &why);
// install's steps for the settings, each recorded; the lines to say once
// install is done.
bool AddPowerInstallSteps(ChangeSet &changes, const PowerPlan &plan, std::vector<std::string> &lines,
                          std::string &why);
// uninstall's steps giving them back, while the service's key still holds
// install's records; the lines to say once uninstall is done.
bool AddPowerUninstallSteps(ChangeSet &changes, std::vector<std::string> &lines, std::string &why);
// status: the settings' lines; what breaks the drive's promise goes to
// `problems` when it is given (Pelmar installed).
void PowerInstallStatus(std::vector<std::string> *problems);

}  // namespace pelmar_tools
