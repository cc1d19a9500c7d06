// What a drive letter names today, read from the DOS device it links to,
// as the installer and the service judge it: a volume the encryption
// driver mounted (Pelmar's own drive of this boot), or something else that
// holds the letter (a volume of the storage stack, a folder given a letter,
// a network drive, a CD-ROM, any other device). The driver refuses a mount
// on a letter in use, so a letter held by anything but its own volume costs
// the drive at every boot.
#pragma once

#include <optional>
#include <string>

namespace pelmar_tools {

// Whether `device`, the first target of a letter's DOS device
// ("\Device\HarddiskVolume2", "\??\C:\folder"), is a volume of the driver:
// none of the storage stack's, a folder's or the network's.
bool IsDriverVolume(const std::string &device);

// The letter as Pelmar's drive: empty when it is free (`device` absent) or
// a volume of the driver; otherwise what holds it, for the administrator.
std::string LetterInUseProblem(char letter, const std::optional<std::string> &device);

}  // namespace pelmar_tools
