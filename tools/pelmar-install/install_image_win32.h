// The image that was checked is the image that boots: install opens it,
// once its permissions are protected, so that nobody else can write it
// (failing while anyone holds it open for writing), checks it through that
// handle, and records its SHA-256 for the service, which compares it at
// every start; status compares it too.
#pragma once

#include <memory>
#include <string>

#include "tools/boot-config/change_set.h"
#include "tools/platform/volume_source.h"

namespace pelmar_tools {

// The image `path` opened for reading, sharing with readers only; null and
// why otherwise (a reason without the name), saying so when another program
// holds it open for writing.
std::unique_ptr<VolumeSource> OpenImageAlone(const std::wstring &path, std::string &why);

// What install checks of the image once it holds it: it restores, fits a
// container of `containerSize` bytes, and holds the temporary folders the
// service's options need; then its digest is recorded under the service's
// Parameters as a step of `changes`. False and why at the first that fails.
bool CheckAndRecordImage(ChangeSet &changes, const VolumeSource &image, uint64_t containerSize, bool userTemp,
                         bool systemTemp, std::string &why);

// Empty when the image at `path` is the one install recorded; otherwise why not.
std::string ImageDigestProblem(const std::wstring &path);

}  // namespace pelmar_tools
