// The NT path of a DOS file name.
#include "lib-na/na.h"

namespace {
const WCHAR kSourceFile[] = u"lib-na\\na_filename.cpp";
const WCHAR kDosDevicesPrefix[] = u"\\??\\";
constexpr size_t kPrefixChars = 4;
}  // namespace

int32_t GetNtFileName(WCHAR *buffer, size_t capacity, const WCHAR *name) {
    if (!buffer) NaAssertFailed(kSourceFile, __LINE__);
    if (!name) NaAssertFailed(kSourceFile, __LINE__);
    if (!buffer || capacity == 0 || !name) {
        NaReportError(u"GetNtFileName: Invalid parameter!");
        return 0;
    }
    // A DOS-form name is one whose second character is a colon; anything
    // else (NT paths, device paths) is taken as it is.
    bool dosForm = name[0] != 0 && name[1] == u':';
    size_t nameChars = 0;
    while (name[nameChars]) ++nameChars;
    size_t needed = nameChars + (dosForm ? kPrefixChars : 0);
    // Nothing is written unless the whole path and its NUL fit.
    if (needed >= capacity) {
        NaReportError(u"GetNtFileName: Buffer too small!");
        return 0;
    }
    size_t at = 0;
    if (dosForm)
        for (size_t i = 0; i < kPrefixChars; ++i) buffer[at++] = kDosDevicesPrefix[i];
    for (size_t i = 0; i < nameChars; ++i) buffer[at++] = name[i];
    buffer[at] = 0;
    return 1;
}
