// Test only: a DLL such as a web page might drop beside fwt.exe in a Downloads folder, copied
// there under the name of a system DLL (bcrypt.dll, uxtheme.dll). When a process loads it,
// DllMain writes a mark beside it, named as the DLL with ".ran" added, holding the program's
// path, so a case sees that it ran. It exports, with the names a program imports them by, the
// CNG functions the tool uses, each failing with STATUS_NOT_SUPPORTED: a program that took CNG
// from it would start, and its image check would fail.
#include <windows.h>

#include <bcrypt.h>

namespace {

constexpr NTSTATUS STATUS_NOT_SUPPORTED_ = static_cast<NTSTATUS>(0xC00000BB);

void leave_mark(HINSTANCE self) {
    wchar_t path[MAX_PATH + 8];
    const DWORD length = GetModuleFileNameW(self, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return;
    }
    lstrcpyW(path + length, L".ran");
    HANDLE mark =
        CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (mark == INVALID_HANDLE_VALUE) {
        return;
    }
    char program[MAX_PATH + 2] = {};
    DWORD written = GetModuleFileNameA(nullptr, program, MAX_PATH);
    program[written++] = '\n';
    WriteFile(mark, program, written, &written, nullptr);
    CloseHandle(mark);
}

} // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        leave_mark(self);
    }
    return TRUE;
}

// Built with --kill-at, so that these are exported without their stdcall "@N" suffixes; the
// prototypes are CNG's own.
extern "C" {
__declspec(dllexport) NTSTATUS WINAPI
    BCryptOpenAlgorithmProvider(BCRYPT_ALG_HANDLE*, LPCWSTR, LPCWSTR, ULONG) {
    return STATUS_NOT_SUPPORTED_;
}
__declspec(dllexport) NTSTATUS WINAPI BCryptCloseAlgorithmProvider(BCRYPT_ALG_HANDLE, ULONG) {
    return STATUS_NOT_SUPPORTED_;
}
__declspec(dllexport) NTSTATUS WINAPI
    BCryptCreateHash(BCRYPT_ALG_HANDLE, BCRYPT_HASH_HANDLE*, PUCHAR, ULONG, PUCHAR, ULONG, ULONG) {
    return STATUS_NOT_SUPPORTED_;
}
__declspec(dllexport) NTSTATUS WINAPI BCryptHashData(BCRYPT_HASH_HANDLE, PUCHAR, ULONG, ULONG) {
    return STATUS_NOT_SUPPORTED_;
}
__declspec(dllexport) NTSTATUS WINAPI BCryptFinishHash(BCRYPT_HASH_HANDLE, PUCHAR, ULONG, ULONG) {
    return STATUS_NOT_SUPPORTED_;
}
__declspec(dllexport) NTSTATUS WINAPI BCryptDestroyHash(BCRYPT_HASH_HANDLE) {
    return STATUS_NOT_SUPPORTED_;
}
}
