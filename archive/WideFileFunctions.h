#pragma once
// minizip file functions over _wfopen: the archive is opened by its wide path, so a temporary folder
// whose name is in any script can hold it. unzOpen2_64 hands its path argument through untouched;
// give it a NUL-terminated const wchar_t*.
#include "ioapi.h"

namespace NsCommon {
namespace details {

zlib_filefunc64_def WideFileFunctions();

}  // namespace details
}  // namespace NsCommon
