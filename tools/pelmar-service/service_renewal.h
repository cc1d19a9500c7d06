// Whether this start of Windows renewed the scratch drive, apart from the
// platform. A drive renewed at boot holds only what the image holds; one
// the machine kept (a resume from hibernation, hybrid sleep or Fast
// Startup's shutdown, where the kernel session is restored and Pelmar never
// runs) still holds everything of the earlier session under its old key.
//
// At each start the service leaves a marker of its own on the drive, with a
// new random value that it also records, beside the system's boot time and
// last wake. The restore puts the image back at every boot and the image
// does not hold the marker, so a marker still there when the machine comes
// back means the drive was kept. The kernel session's own identity is a
// volatile record, which lives as long as the session (it is kept through
// hibernation and lost at every real boot): a service started again in the
// same session with no wake since is a restart of the service, not of the
// machine, whatever the clock did meanwhile.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/boot-config/service_contract.h"
#include "tools/pelmar-install/power_settings.h"
#include "tools/pelmar-service/service_boot.h"

namespace pelmar_tools {

// The system's boot time (system time, 100 ns since 1601) and the
// interrupt-time count of its last wake (0 when it has not slept).
struct PowerTimes {
    uint64_t bootTime = 0, lastWake = 0;
    bool operator==(const PowerTimes &) const = default;
};

// The service's record under its Parameters key.
struct RenewalRecord {
    std::string marker;  // the value left on the drive at the last start; empty when none was
    PowerTimes times;
    uint64_t renewedAt = 0;  // the boot time of the last start that renewed the drive
    bool kept = false;       // the last check found the drive kept
    bool operator==(const RenewalRecord &) const = default;
};

struct MarkerFacts {
    bool present = false;
    std::string value;
};

class RenewalSystem {
  public:
    virtual ~RenewalSystem() = default;
    virtual PowerTimes Times() = 0;
    // The marker on the drive `letter`.
    virtual MarkerFacts ReadMarker(char letter) = 0;
    // A new marker (any old one goes first): on NTFS only SYSTEM may write
    // or delete it.
    virtual bool WriteMarker(char letter, const std::string &value, std::string &error) = 0;
    virtual std::string NewMarkerValue() = 0;
    virtual RenewalRecord ReadRenewal() = 0;
    virtual void WriteRenewal(const RenewalRecord &record) = 0;
    // The kernel session's record (volatile: gone at every real boot).
    virtual std::string ReadSession() = 0;
    virtual void WriteSession(const std::string &value) = 0;
    virtual void Report(EventKind kind, uint32_t id, const std::vector<std::string> &inserts) = 0;
};

enum class StartKind { Renewed, Kept, Restarted };

// At the service's start, after the drive's check (`driveUp`: it holds the
// image's file system); `letter` 0 when there is no Pelmar line.
StartKind RenewalAtStart(RenewalSystem &system, PowerSystem &power, char letter, bool driveUp);
// When the service hears that the machine resumed.
void RenewalAtResume(RenewalSystem &system, PowerSystem &power, char letter);
// At a logon: a resume the service was not told of shows as a newer last wake.
void RenewalAtLogon(RenewalSystem &system, PowerSystem &power, char letter);

// At a shutdown or restart of the machine: every TEMP and TMP the service
// moved goes back to its previous value, so that at the next boot no
// account's TEMP names a folder the service has not made yet.
void PutBackAtShutdown(ServiceSystem &system);

}  // namespace pelmar_tools
