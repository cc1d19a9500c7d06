// RenewalSystem on Windows: the marker file on the drive, the service's
// records under its Parameters key (the kernel session's in a volatile key
// beneath it), the boot time (NtQuerySystemInformation, looked up in ntdll
// at run time) and the last wake (CallNtPowerInformation). Also the
// service's and status's calls of service_renewal.h.
#pragma once

#include <vector>

#include "tools/pelmar-service/service_renewal.h"
#include "tools/pelmar-service/service_win32.h"

namespace pelmar_tools {

class Win32RenewalSystem : public RenewalSystem {
  public:
    explicit Win32RenewalSystem(ServiceSystem &events) : events_(events) {}
    PowerTimes Times() override;
    MarkerFacts ReadMarker(char letter) override;
    bool WriteMarker(char letter, const std::string &value, std::string &error) override;
    std::string NewMarkerValue() override;
    RenewalRecord ReadRenewal() override;
    void WriteRenewal(const RenewalRecord &record) override;
    std::string ReadSession() override;
    void WriteSession(const std::string &value) override;
    void Report(EventKind kind, uint32_t id, const std::vector<std::string> &inserts) override {
        events_.Report(kind, id, inserts);
    }

  private:
    ServiceSystem &events_;
};

// The service's part: after the start's check (its event identifier), at a
// resume notification, at a logon.
void RenewalStart(ServiceSystem &system, uint32_t outcome);
void RenewalResume(ServiceSystem &system);
void RenewalLogon(ServiceSystem &system);
// Whether the service manager has SERVICE_CONTROL_PRESHUTDOWN (Vista on).
bool HasPreshutdown();
// status: when the drive was last renewed; a kept drive goes to `problems`.
void RenewalStatus(std::vector<std::string> &problems);

}  // namespace pelmar_tools
