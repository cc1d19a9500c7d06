// The settings through which a drive could outlive a stop (see
// power_settings.h): what install changes, gives back and reports.
#include "tools/pelmar-install/power_settings.h"

#include <iterator>

#include "tools/boot-config/service_contract.h"

namespace pelmar_tools {
namespace {

const char kPower[] = "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Power";
const char kCrashControl[] = "HKLM\\SYSTEM\\CurrentControlSet\\Control\\CrashControl";
const char kFileSystem[] = "HKLM\\SYSTEM\\CurrentControlSet\\Control\\FileSystem";
const char kPolicy[] = "HKLM\\SOFTWARE\\Policies\\Microsoft\\Windows\\System";
const char kHiberfilWords[] =
    "a hibernation writes the drive's keys to C:\\hiberfil.sys unless Windows' own volume encryption covers C:";
const char kDumpWords[] =
    "a crash writes kernel memory, the drive's keys with it, through the paging file on C: to MEMORY.DMP";
const char kPagingWords[] = "pages of programs that held the drive's files can land in the clear in C:'s paging file";

std::string Shown(const RegistryValue &value) {
    if (!value.present) return "absent";
    if (std::optional<uint32_t> n = DwordOf(value)) return std::to_string(*n);
    return "a value of type " + std::to_string(value.type) + " (" + std::to_string(value.data.size()) + " bytes)";
}

// Fast Startup exists from Windows 8 (6.2) on, or wherever its value is.
bool HasFastStartup(const PowerContext &context, const RegistryValue &value) {
    return value.present || context.major > 6 || (context.major == 6 && context.minor >= 2);
}

bool HoldsKernelMemory(const RegistryValue &dumps) {
    const std::optional<uint32_t> kind = DwordOf(dumps);
    return kind && (*kind == 1 || *kind == 2 || *kind == 7);
}

}  // namespace

std::string SettingName(PowerSetting setting) {
    switch (setting) {
        case PowerSetting::FastStartup: return std::string("Fast Startup (HiberbootEnabled under ") + kPower + ")";
        case PowerSetting::Hibernation: return "hibernation (C:\\hiberfil.sys)";
        case PowerSetting::CrashDumps: return std::string("crash dumps (CrashDumpEnabled under ") + kCrashControl + ")";
        case PowerSetting::PagingEncryption:
            return std::string("paging-file encryption (NtfsEncryptPagingFile under ") + kFileSystem + ")";
    }
    return {};
}

const char *SettingRecordName(PowerSetting setting) {
    switch (setting) {
        case PowerSetting::FastStartup: return kFastStartupRecord;
        case PowerSetting::Hibernation: return kHibernationRecord;
        case PowerSetting::CrashDumps: return kCrashDumpsRecord;
        case PowerSetting::PagingEncryption: return kPagingEncryptionRecord;
    }
    return "";
}

bool IsPowerOption(const std::string &word) {
    return word == "--keep-hibernation" || word == "--dumps" || word == "--keep-paging-plain";
}

bool TakePowerOptions(std::vector<std::string> &words, PowerChoices &choices, std::string &why) {
    std::vector<std::string> rest;
    for (size_t at = 0; at < words.size(); ++at) {
        const std::string &word = words[at];
        if (word == "--keep-hibernation") {
            choices.keepHibernation = true;
        } else if (word == "--keep-paging-plain") {
            choices.keepPagingPlain = true;
        } else if (word == "--dumps") {
            const std::string kind = at + 1 < words.size() ? words[++at] : "";
            if (kind == "small") choices.dumps = PowerChoices::Dumps::Small;
            else if (kind == "none") choices.dumps = PowerChoices::Dumps::None;
            else if (kind == "keep") choices.dumps = PowerChoices::Dumps::Keep;
            else {
                why = "--dumps takes small, none or keep";
                return false;
            }
        } else {
            rest.push_back(word);
        }
    }
    words = rest;
    return true;
}

PowerPlan PlanPower(PowerSystem &system, const PowerChoices &choices) {
    PowerPlan plan;
    const PowerContext context = system.Context();
    RegistryValue now[std::size(kPowerSettings)];
    for (PowerSetting s : kPowerSettings) {
        std::string error;
        if (!system.ReadSetting(s, now[static_cast<size_t>(s)], error)) {
            plan.refusal = "cannot read " + SettingName(s) + ": " + error;
            return plan;
        }
    }
    auto value = [&](PowerSetting s) -> const RegistryValue & { return now[static_cast<size_t>(s)]; };
    // A setting the options keep, that an earlier install changed and that
    // still holds its value: given back as it was before.
    auto giveBack = [&](PowerSetting s, const char *option) {
        PowerRecord record;
        if (!system.ReadRecord(s, record) || !(record.wrote == value(s))) return false;
        plan.changes.push_back({s, record.before,
                                "gave back " + SettingName(s) + " as it was before install (" + option + "): " +
                                    Shown(record.before),
                                true});
        return true;
    };

    // Fast Startup: with it on, "Shut down" keeps the drive, so there is no
    // choice that keeps it.
    const RegistryValue &fast = value(PowerSetting::FastStartup);
    if (context.fastStartupPolicy == 1u) {
        plan.refusal = std::string("Group Policy requires Fast Startup (HiberbootEnabled = 1 under ") + kPolicy +
                       "), and with it \"Shut down\" keeps the drive and everything on it: set the policy "
                       "\"Require use of fast startup\" (Computer Configuration, Administrative Templates, System, "
                       "Shutdown) to Not configured or Disabled, and run pelmar-install install again";
        return plan;
    }
    if (!HasFastStartup(context, fast)) {
        plan.lines.push_back("Fast Startup: this Windows has none");
    } else if (DwordOf(fast) == 0u) {
        plan.lines.push_back("Fast Startup: off already");
    } else {
        plan.changes.push_back({PowerSetting::FastStartup, DwordValue(0),
                                "turned Fast Startup off (HiberbootEnabled was " + Shown(fast) +
                                    "): \"Shut down\" now ends Windows, and Pelmar renews the drive at the next start"});
    }

    const bool hibernating = DwordOf(value(PowerSetting::Hibernation)) == 1u;
    if (choices.keepHibernation && giveBack(PowerSetting::Hibernation, "--keep-hibernation")) {
        // the change says it
    } else if (!hibernating) {
        plan.lines.push_back(context.hibernationSupported ? "hibernation: off already"
                                                          : "hibernation: this machine cannot hibernate");
    } else if (choices.keepHibernation) {
        plan.lines.push_back(std::string("hibernation kept on (--keep-hibernation): ") + kHiberfilWords);
    } else if (!context.hibernationUncontrolled.empty()) {
        plan.lines.push_back("hibernation left as it is: " + context.hibernationUncontrolled + "; " + kHiberfilWords);
    } else {
        plan.changes.push_back({PowerSetting::Hibernation, DwordValue(0),
                                "turned hibernation off (as powercfg /hibernate off does): C:\\hiberfil.sys is "
                                "gone, and with it hibernation and hybrid sleep"});
    }

    const RegistryValue &dumps = value(PowerSetting::CrashDumps);
    const bool kernel = HoldsKernelMemory(dumps);
    if (choices.dumps == PowerChoices::Dumps::Keep && giveBack(PowerSetting::CrashDumps, "--dumps keep")) {
        // the change says it
    } else if (!dumps.present) {
        plan.lines.push_back("crash dumps: CrashDumpEnabled is not set, no dump is written");
    } else if (context.dumpEncryption) {
        plan.lines.push_back("crash dumps: encrypted (DumpEncryptionEnabled), kept as they are (CrashDumpEnabled " +
                             Shown(dumps) + ")");
    } else if (choices.dumps == PowerChoices::Dumps::None && DwordOf(dumps) != 0u) {
        plan.changes.push_back({PowerSetting::CrashDumps, DwordValue(0),
                                "crash dumps off (--dumps none; CrashDumpEnabled was " + Shown(dumps) + ")"});
    } else if (!kernel) {
        plan.lines.push_back("crash dumps: CrashDumpEnabled " + Shown(dumps) + ", no kernel memory");
    } else if (choices.dumps == PowerChoices::Dumps::Keep) {
        plan.lines.push_back("crash dumps kept (--dumps keep, CrashDumpEnabled " + Shown(dumps) +
                             "), a standing exposure: " + kDumpWords);
    } else {
        plan.changes.push_back({PowerSetting::CrashDumps, DwordValue(3),
                                "crash dumps small (CrashDumpEnabled 3, was " + Shown(dumps) +
                                    "): a crash no longer writes the whole kernel memory to C:"});
    }

    const RegistryValue &paging = value(PowerSetting::PagingEncryption);
    if (choices.keepPagingPlain && giveBack(PowerSetting::PagingEncryption, "--keep-paging-plain")) {
        // the change says it
    } else if (context.major < 6) {
        plan.lines.push_back(std::string("paging-file encryption: Windows XP x64 and Server 2003 x64 do not have "
                                         "it: ") + kPagingWords);
    } else if (DwordOf(paging) == 1u) {
        plan.lines.push_back("paging files: encrypted already");
    } else if (choices.keepPagingPlain) {
        plan.lines.push_back(std::string("paging files kept in the clear (--keep-paging-plain): ") + kPagingWords);
    } else {
        plan.changes.push_back({PowerSetting::PagingEncryption, DwordValue(1),
                                "paging files encrypted from the next start on (NtfsEncryptPagingFile 1, was " +
                                    Shown(paging) + ")"});
    }
    return plan;
}

bool AddPowerSteps(ChangeSet &changes, PowerSystem &system, const PowerPlan &plan, std::vector<std::string> &lines,
                   std::string &why) {
    for (const PowerChange &change : plan.changes) {
        const PowerSetting s = change.setting;
        RegistryValue was;
        PowerRecord record;
        std::string error;
        if (!system.ReadSetting(s, was, error)) {
            why = "cannot read " + SettingName(s) + ": " + error;
            return false;
        }
        const bool recorded = system.ReadRecord(s, record);
        // A reinstall over its own change keeps the value from before the first.
        const RegistryValue before = recorded && was == record.wrote ? record.before : was;
        // The record before the setting, and after it when the change gives
        // an earlier install's change back; each with its undoing.
        auto putRecordBack = [&system, s, recorded, record](std::string &e) {
            if (recorded) return system.WriteRecord(s, record, e);
            system.ForgetRecord(s);
            return true;
        };
        auto writeRecord = [&](std::string &e) { return system.WriteRecord(s, {before, change.to}, e); };
        auto forgetRecord = [&](std::string &) {
            system.ForgetRecord(s);
            return true;
        };
        const std::string recordLeft = "install's record of " + SettingName(s) + " could not be put back";
        if ((!change.givesBack && !changes.Do(writeRecord, putRecordBack, recordLeft, error)) ||
            !changes.Do([&](std::string &e) { return system.WriteSetting(s, change.to, e); },
                        [&system, s, was](std::string &e) { return system.WriteSetting(s, was, e); },
                        SettingName(s) + " could not be put back to " + Shown(was) + ": it holds " +
                            Shown(change.to) + "; run pelmar-install uninstall",
                        error) ||
            (change.givesBack && !changes.Do(forgetRecord, putRecordBack, recordLeft, error))) {
            why = "cannot change " + SettingName(s) + ": " + error;
            return false;
        }
        lines.push_back(change.line);
    }
    lines.insert(lines.end(), plan.lines.begin(), plan.lines.end());
    return true;
}

bool AddGiveBackSteps(ChangeSet &changes, PowerSystem &system, std::vector<std::string> &lines, std::string &why) {
    for (PowerSetting s : kPowerSettings) {
        PowerRecord record;
        if (!system.ReadRecord(s, record)) continue;
        RegistryValue now;
        std::string error;
        if (!system.ReadSetting(s, now, error)) {
            why = "cannot read " + SettingName(s) + ": " + error;
            return false;
        }
        // A value changed since install is left; only its record goes.
        const bool changedSince = !(now == record.wrote);
        const bool done = changes.Do(
            [&](std::string &e) {
                if (!changedSince && !system.WriteSetting(s, record.before, e)) {
                    e = "cannot give back " + SettingName(s) + ": " + e;
                    return false;
                }
                system.ForgetRecord(s);
                return true;
            },
            [&system, s, record, changedSince](std::string &e) {
                if (!system.WriteRecord(s, record, e)) return false;
                return changedSince || system.WriteSetting(s, record.wrote, e);
            },
            SettingName(s) + " could not be put back as install left it, nor its record", why);
        if (!done) return false;
        lines.push_back(changedSince ? "left " + SettingName(s) + " as it is: it was changed since install (it holds " +
                                           Shown(now) + ")"
                                     : "gave back " + SettingName(s) + ": " + Shown(record.before));
    }
    return true;
}

void PowerStatus(PowerSystem &system, std::vector<std::string> &lines, std::vector<std::string> &problems) {
    const PowerContext context = system.Context();
    for (PowerSetting s : kPowerSettings) {
        RegistryValue now;
        std::string error, text;
        if (!system.ReadSetting(s, now, error)) {
            lines.push_back(SettingName(s) + ": cannot be read (" + error + ")");
            continue;
        }
        switch (s) {
            case PowerSetting::FastStartup:
                if (!HasFastStartup(context, now)) {
                    text = "Fast Startup: none on this Windows";
                } else if (DwordOf(now) == 0u) {
                    text = "Fast Startup: off";
                } else {
                    text = "Fast Startup: on";
                    problems.push_back("Fast Startup is on: \"Shut down\" keeps the drive and everything on it; run "
                                       "pelmar-install install again");
                }
                if (context.fastStartupPolicy == 1u) problems.push_back("Group Policy requires Fast Startup");
                break;
            case PowerSetting::Hibernation:
                text = DwordOf(now) == 1u ? std::string("hibernation: on: ") + kHiberfilWords : "hibernation: off";
                break;
            case PowerSetting::CrashDumps:
                text = "crash dumps: CrashDumpEnabled " + Shown(now);
                if (context.dumpEncryption) text += ", encrypted";
                else if (HoldsKernelMemory(now)) text += std::string(", a standing exposure: ") + kDumpWords;
                break;
            case PowerSetting::PagingEncryption:
                text = context.major < 6     ? std::string("paging-file encryption: none on this Windows: ") + kPagingWords
                       : DwordOf(now) == 1u ? "paging files: encrypted"
                                            : std::string("paging files: in the clear, a standing exposure: ") +
                                                  kPagingWords;
                break;
        }
        PowerRecord record;
        if (system.ReadRecord(s, record))
            text += " (install changed it from " + Shown(record.before) + (now == record.wrote ? ")" : "; changed since)");
        lines.push_back(text);
    }
}

std::vector<std::string> TurnedBack(PowerSystem &system) {
    std::vector<std::string> found;
    for (PowerSetting s : kPowerSettings) {
        PowerRecord record;
        RegistryValue now;
        std::string error;
        if (!system.ReadRecord(s, record) || !system.ReadSetting(s, now, error) || now == record.wrote) continue;
        std::string text = SettingName(s) + " holds " + Shown(now) + ", not " + Shown(record.wrote) +
                           " as pelmar-install set it";
        if (s == PowerSetting::FastStartup) {
            text += system.WriteSetting(s, record.wrote, error) ? "; turned off again"
                                                                : "; it cannot be turned off again: " + error;
        }
        found.push_back(text);
    }
    return found;
}

}  // namespace pelmar_tools
