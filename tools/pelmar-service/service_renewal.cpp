// Telling a renewed drive from a kept one (see service_renewal.h).
#include "tools/pelmar-service/service_renewal.h"

namespace pelmar_tools {
namespace {

std::string Drive(char letter) { return std::string(1, letter) + ":"; }

std::string TimesText(const PowerTimes &now, const PowerTimes &recorded) {
    return "boot time " + std::to_string(now.bootTime) + ", last wake " + std::to_string(now.lastWake) +
           "; at the last start or resume: boot time " + std::to_string(recorded.bootTime) + ", last wake " +
           std::to_string(recorded.lastWake);
}

// The drive still holds the marker this session's last start left: nothing
// renewed it since.
bool StillMarked(RenewalSystem &system, char letter, const RenewalRecord &record) {
    if (!letter || record.marker.empty()) return false;
    const MarkerFacts marker = system.ReadMarker(letter);
    return marker.present && marker.value == record.marker;
}

void ReportKept(RenewalSystem &system, char letter, const std::string &when, const PowerTimes &now,
                const RenewalRecord &record) {
    system.Report(EventKind::Error, kEventDriveKept, {Drive(letter), when + "; " + TimesText(now, record.times)});
}

void ReportTurnedBack(RenewalSystem &system, PowerSystem &power) {
    for (const std::string &line : TurnedBack(power)) system.Report(EventKind::Warning, kEventSettingTurnedBack, {line});
}

void CheckAfterWake(RenewalSystem &system, PowerSystem &power, char letter, const std::string &when) {
    RenewalRecord record = system.ReadRenewal();
    const PowerTimes now = system.Times();
    // Both resume notifications of one wake, or a logon after it: one check.
    if (now.lastWake != 0 && now.lastWake == record.times.lastWake) return;
    if (StillMarked(system, letter, record)) {
        ReportKept(system, letter, when, now, record);
        record.kept = true;
    }
    record.times = now;
    system.WriteRenewal(record);
    ReportTurnedBack(system, power);
}

}  // namespace

StartKind RenewalAtStart(RenewalSystem &system, PowerSystem &power, char letter, bool driveUp) {
    RenewalRecord record = system.ReadRenewal();
    const PowerTimes now = system.Times();
    const bool sameSession = !system.ReadSession().empty();
    if (!sameSession) system.WriteSession(system.NewMarkerValue());
    StartKind kind = StartKind::Renewed;
    if (sameSession && now.lastWake == record.times.lastWake) {
        kind = StartKind::Restarted;
        system.Report(EventKind::Information, kEventServiceRestarted,
                      {"no boot and no wake since the service's last start: " + TimesText(now, record.times),
                       letter ? "drive " + Drive(letter) : "no drive"});
    } else if (sameSession && StillMarked(system, letter, record)) {
        // The machine slept or hibernated since the service's last start in
        // this session, and the drive came back as it was.
        kind = StartKind::Kept;
        ReportKept(system, letter, "at the service's start, after a wake", now, record);
    }
    ReportTurnedBack(system, power);

    // A new marker for the next check (one the image may hold goes with it).
    RenewalRecord next{{}, now, kind == StartKind::Renewed && driveUp ? now.bootTime : record.renewedAt,
                       kind == StartKind::Kept || (kind == StartKind::Restarted && record.kept)};
    if (letter && driveUp) {
        const std::string value = system.NewMarkerValue();
        std::string error;
        if (system.WriteMarker(letter, value, error))
            next.marker = value;
        else
            system.Report(EventKind::Warning, kEventMarkerFailed, {Drive(letter), error});
    }
    system.WriteRenewal(next);
    return kind;
}

void RenewalAtResume(RenewalSystem &system, PowerSystem &power, char letter) {
    CheckAfterWake(system, power, letter, "at a resume");
}

void RenewalAtLogon(RenewalSystem &system, PowerSystem &power, char letter) {
    // Not told of a resume (the system may restore services from a hybrid
    // shutdown without a notification): a newer last wake says it.
    if (system.Times().lastWake == system.ReadRenewal().times.lastWake) return;
    CheckAfterWake(system, power, letter, "at a logon, after a wake the service was not told of");
}

void PutBackAtShutdown(ServiceSystem &system) {
    const std::vector<std::string> accounts = system.SavedAccounts();
    std::vector<std::string> problems;
    std::vector<std::pair<std::string, std::string>> dropped;
    PutBackAll(system, problems, dropped);
    std::string text;
    for (const std::string &sid : accounts) {
        bool left = false;
        for (const auto &[other, why] : dropped) left = left || other == sid;
        if (!left) text += (text.empty() ? "" : ", ") + sid;
    }
    for (const auto &[sid, why] : dropped) system.Report(EventKind::Warning, kEventRecordDropped, {sid, why});
    for (const std::string &problem : problems) system.Report(EventKind::Error, kEventChangeFailed, {problem, ""});
    if (problems.empty() && !text.empty()) system.Report(EventKind::Information, kEventTempBack, {text});
}

}  // namespace pelmar_tools
