// The NT path of a drive letter.
#include "lib-na/na.h"

namespace {
const WCHAR kSourceFile[] = u"lib-na\\na_drivename.cpp";
constexpr ULONG kDriveNameChars = 7;  // \??\X: and the NUL
}  // namespace

int32_t GetNtDriveName(WCHAR *buffer, ULONG capacity, WCHAR letter) {
    if (!buffer) {
        NaAssertFailed(kSourceFile, __LINE__);
        NaReportError(u"GetNtDriveName: Invalid parameter!");
        return 0;
    }
    if (capacity == 0 || !iswalpha(letter)) {
        NaReportError(u"GetNtDriveName: Invalid parameter!");
        return 0;
    }
    if (capacity < kDriveNameChars) {
        NaReportError(u"GetNtDriveName: Buffer too small!");
        return 0;
    }
    buffer[0] = u'\\';
    buffer[1] = u'?';
    buffer[2] = u'?';
    buffer[3] = u'\\';
    buffer[4] = letter;  // the caller's case is kept
    buffer[5] = u':';
    buffer[6] = 0;
    return 1;
}
