#include "archive/WideFileFunctions.h"

#include <cstdio>

namespace NsCommon {
namespace details {
namespace {

FILE* AsFile(voidpf stream) { return static_cast<FILE*>(stream); }

voidpf ZCALLBACK OpenStream(voidpf, const void* path, int mode) {
    const wchar_t* access = nullptr;
    if ((mode & ZLIB_FILEFUNC_MODE_READWRITEFILTER) == ZLIB_FILEFUNC_MODE_READ) {
        access = L"rb";
    } else if (mode & ZLIB_FILEFUNC_MODE_EXISTING) {
        access = L"r+b";
    } else if (mode & ZLIB_FILEFUNC_MODE_CREATE) {
        access = L"wb";
    }
    if (path == nullptr || access == nullptr) return nullptr;
    return _wfopen(static_cast<const wchar_t*>(path), access);
}

uLong ZCALLBACK ReadStream(voidpf, voidpf stream, void* buffer, uLong size) {
    return static_cast<uLong>(std::fread(buffer, 1, size, AsFile(stream)));
}

uLong ZCALLBACK WriteStream(voidpf, voidpf stream, const void* buffer, uLong size) {
    return static_cast<uLong>(std::fwrite(buffer, 1, size, AsFile(stream)));
}

// 64-bit positions, so that Zip64 archives beyond 2 GiB are read.
ZPOS64_T ZCALLBACK TellStream(voidpf, voidpf stream) {
    return static_cast<ZPOS64_T>(_ftelli64(AsFile(stream)));
}

long ZCALLBACK SeekStream(voidpf, voidpf stream, ZPOS64_T offset, int origin) {
    int whence = SEEK_SET;
    if (origin == ZLIB_FILEFUNC_SEEK_CUR) {
        whence = SEEK_CUR;
    } else if (origin == ZLIB_FILEFUNC_SEEK_END) {
        whence = SEEK_END;
    } else if (origin != ZLIB_FILEFUNC_SEEK_SET) {
        return -1;
    }
    return _fseeki64(AsFile(stream), static_cast<__int64>(offset), whence) == 0 ? 0 : -1;
}

int ZCALLBACK CloseStream(voidpf, voidpf stream) { return std::fclose(AsFile(stream)); }

int ZCALLBACK StreamError(voidpf, voidpf stream) { return std::ferror(AsFile(stream)); }

}  // namespace

zlib_filefunc64_def WideFileFunctions() {
    zlib_filefunc64_def functions{};
    functions.zopen64_file = OpenStream;
    functions.zread_file = ReadStream;
    functions.zwrite_file = WriteStream;
    functions.ztell64_file = TellStream;
    functions.zseek64_file = SeekStream;
    functions.zclose_file = CloseStream;
    functions.zerror_file = StreamError;
    functions.opaque = nullptr;
    return functions;
}

}  // namespace details
}  // namespace NsCommon
