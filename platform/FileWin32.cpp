// File operations for Windows: CreateFileW/WriteFile/FlushFileBuffers for the temporary file,
// ReplaceFileW and MoveFileExW for the swap, GetLastError for every failure.
#include <windows.h>

#include <sddl.h>

#include <cstdio>
#include <system_error>

#include "platform/File.h"
#include "platform/testing/FaultInjection.h"

namespace tarvik::platform {
namespace {

using testing::Operation;
using testing::takeFault;

constexpr ErrorCode kErrorSharingViolation = ERROR_SHARING_VIOLATION;                  // 32
constexpr ErrorCode kErrorUnableToMoveReplacement = ERROR_UNABLE_TO_MOVE_REPLACEMENT;  // 1176
constexpr ErrorCode kErrorUnableToRemoveReplaced = ERROR_UNABLE_TO_REMOVE_REPLACED;    // 1175

ErrorCode lastError() {
    return static_cast<ErrorCode>(::GetLastError());
}

HANDLE toHandle(std::intptr_t handle) {
    return reinterpret_cast<HANDLE>(handle);
}

// Wine's ReplaceFileW refuses bare relative names; absolute names work everywhere.
std::wstring absoluteName(const std::filesystem::path& path) {
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(path, error);
    return error ? path.wstring() : absolute.wstring();
}

}  // namespace

std::string errorText(ErrorCode code) {
    return std::system_category().message(static_cast<int>(code));
}

bool isSharingViolation(ErrorCode code) {
    return code == kErrorSharingViolation;
}

bool replaceMayHaveRemovedTarget(ErrorCode code) {
    return code == kErrorUnableToMoveReplacement;
}

bool isTransientSwapError(ErrorCode code) {
    return code == kErrorSharingViolation || code == ERROR_ACCESS_DENIED ||
           code == kErrorUnableToRemoveReplaced;
}

bool isNotFound(ErrorCode code) {
    return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
}

bool swapMayHideTarget() {
    return true;
}

bool isLockTimeout(ErrorCode code) {
    return code == WAIT_TIMEOUT;
}

namespace {

// The namespace prefix "Local\" and "tarvik-config-save-" with a 64-bit FNV-1a hash of the
// absolute, normalised, upper-cased path: every spelling of one file that differs only in case,
// "." and ".." names one mutex, and the name holds no backslash after the prefix. Links and
// 8.3 short names are not resolved (that would need the file to exist).
std::wstring saveMutexName(const std::filesystem::path& target) {
    std::error_code error;
    std::filesystem::path absolute = std::filesystem::absolute(target, error);
    if (error) {
        absolute = target;
    }
    std::wstring name = absolute.lexically_normal().wstring();
    if (!name.empty()) {
        // Upper case without linguistic rules, as the file system folds names; kernel32 only.
        std::wstring upper(name.size(), L'\0');
        const int length = ::LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, name.data(),
                                           static_cast<int>(name.size()), upper.data(),
                                           static_cast<int>(upper.size()), nullptr, nullptr, 0);
        if (length > 0) {
            upper.resize(static_cast<std::size_t>(length));
            name = std::move(upper);
        }
    }
    std::uint64_t hash = 14695981039346656037ull;
    for (const wchar_t unit : name) {
        hash ^= static_cast<std::uint16_t>(unit);
        hash *= 1099511628211ull;
    }
    wchar_t digits[17];
    std::swprintf(digits, 17, L"%016llx", static_cast<unsigned long long>(hash));
    return std::wstring(L"Local\\tarvik-config-save-") + digits;
}

// Lets every process of the session at low integrity or above wait on the mutex and release
// it (SYNCHRONIZE | MUTEX_MODIFY_STATE), and nothing else. Without the explicit descriptor a
// mutex created by an elevated process would carry a high integrity label and an
// administrators-only owner, and a non-elevated process could not open it.
constexpr wchar_t kSaveMutexSecurity[] = L"D:(A;;0x00100001;;;WD)S:(ML;;NW;;;LW)";
constexpr DWORD kSaveMutexAccess = SYNCHRONIZE | MUTEX_MODIFY_STATE;

HANDLE createSaveMutex(const std::wstring& name) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(kSaveMutexSecurity, SDDL_REVISION_1,
                                                                &descriptor, nullptr)) {
        return nullptr;
    }
    SECURITY_ATTRIBUTES attributes{};
    attributes.nLength = sizeof(attributes);
    attributes.lpSecurityDescriptor = descriptor;
    attributes.bInheritHandle = FALSE;
    // Opens the mutex when another process created it already, with the same rights.
    const HANDLE mutex = ::CreateMutexExW(&attributes, name.c_str(), 0, kSaveMutexAccess);
    const DWORD error = ::GetLastError();
    ::LocalFree(descriptor);
    ::SetLastError(error);
    return mutex;
}

}  // namespace

SaveLock::~SaveLock() {
    release();
}

ErrorCode SaveLock::acquire(const std::filesystem::path& target, std::chrono::milliseconds wait) {
    release();
    if (auto fault = takeFault(Operation::AcquireLock)) {
        return *fault == testing::kLockTimeoutMarker ? static_cast<ErrorCode>(WAIT_TIMEOUT)
                                                     : *fault;
    }
    const HANDLE mutex = createSaveMutex(saveMutexName(target));
    if (mutex == nullptr) {
        return lastError();
    }
    const auto milliseconds = wait.count() < 0 ? 0 : wait.count();
    const DWORD timeout =
        milliseconds >= INFINITE ? INFINITE - 1 : static_cast<DWORD>(milliseconds);
    switch (::WaitForSingleObject(mutex, timeout)) {
        case WAIT_OBJECT_0:
        case WAIT_ABANDONED:  // the last holder died: the lock is ours, the target as it left it
            handle_ = reinterpret_cast<std::intptr_t>(mutex);
            return 0;
        case WAIT_TIMEOUT:
            ::CloseHandle(mutex);
            return WAIT_TIMEOUT;
        default: {
            const ErrorCode error = lastError();
            ::CloseHandle(mutex);
            return error;
        }
    }
}

ErrorCode SaveLock::syncDirectory() {
    if (auto fault = takeFault(Operation::SyncDirectory)) {
        return *fault;
    }
    return 0;  // NTFS journals the swap's metadata
}

void SaveLock::release() {
    if (handle_ == -1) {
        return;
    }
    const HANDLE mutex = toHandle(handle_);
    handle_ = -1;
    ::ReleaseMutex(mutex);
    ::CloseHandle(mutex);
}

WritableFile::~WritableFile() {
    close();
}

ErrorCode WritableFile::open(const std::filesystem::path& path,
                             const std::filesystem::path& /*permissionsFrom*/) {
    close();
    if (auto fault = takeFault(Operation::OpenTemp)) {
        return *fault;
    }
    // Default sharing, as a standard file stream opens it: other processes may read and write.
    // ReplaceFileW carries the replaced file's attributes over by itself.
    const HANDLE file =
        ::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                      CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return lastError();
    }
    handle_ = reinterpret_cast<std::intptr_t>(file);
    return 0;
}

ErrorCode WritableFile::write(std::string_view bytes) {
    if (auto fault = takeFault(Operation::WriteTemp)) {
        return *fault;
    }
    const char* data = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        const DWORD chunk = left > 0x4000'0000u ? 0x4000'0000u : static_cast<DWORD>(left);
        DWORD written = 0;
        if (!::WriteFile(toHandle(handle_), data, chunk, &written, nullptr)) {
            return lastError();
        }
        if (written == 0) {
            return ERROR_WRITE_FAULT;
        }
        data += written;
        left -= written;
    }
    return 0;
}

ErrorCode WritableFile::sync() {
    if (auto fault = takeFault(Operation::SyncTemp)) {
        return *fault;
    }
    return ::FlushFileBuffers(toHandle(handle_)) ? 0 : lastError();
}

ErrorCode WritableFile::close() {
    if (handle_ == -1) {
        return 0;
    }
    const HANDLE file = toHandle(handle_);
    handle_ = -1;
    const auto fault = takeFault(Operation::CloseTemp);
    const BOOL closed = ::CloseHandle(file);
    if (fault) {
        return *fault;
    }
    return closed ? 0 : lastError();
}

ErrorCode replaceFile(const std::filesystem::path& target,
                      const std::filesystem::path& replacement) {
    if (auto fault = takeFault(Operation::Replace)) {
        return *fault;
    }
    const std::wstring targetName = absoluteName(target);
    const std::wstring replacementName = absoluteName(replacement);
    if (!::ReplaceFileW(targetName.c_str(), replacementName.c_str(), nullptr,
                        REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr)) {
        return lastError();
    }
    return 0;
}

ErrorCode moveIntoPlace(const std::filesystem::path& from, const std::filesystem::path& target) {
    if (auto fault = takeFault(Operation::MoveIntoPlace)) {
        return *fault;
    }
    const std::wstring fromName = absoluteName(from);
    const std::wstring targetName = absoluteName(target);
    if (!::MoveFileExW(fromName.c_str(), targetName.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return lastError();
    }
    return 0;
}

ErrorCode syncDirectory(const std::filesystem::path& /*directory*/) {
    if (auto fault = takeFault(Operation::SyncDirectory)) {
        return *fault;
    }
    // NTFS journals the swap's metadata; MoveFileExW's write-through covers the first save.
    return 0;
}

ErrorCode moveAside(const std::filesystem::path& from, const std::filesystem::path& to) {
    if (auto fault = takeFault(Operation::MoveAside)) {
        return *fault;
    }
    const std::wstring fromName = absoluteName(from);
    const std::wstring toName = absoluteName(to);
    if (!::MoveFileExW(fromName.c_str(), toName.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED)) {
        return lastError();
    }
    return 0;
}

ReadResult readWholeFile(const std::filesystem::path& path, std::string& contents) {
    contents.clear();
    if (auto fault = takeFault(Operation::ReadFile)) {
        if (*fault == testing::kSharingViolationMarker) {
            return {ReadStatus::SharingViolation, kErrorSharingViolation};
        }
        return {ReadStatus::Failed, *fault};
    }
    // Other processes may go on reading and writing, and a save may swap a new document over
    // the file while it is open here: without FILE_SHARE_DELETE that swap would fail.
    const HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const ErrorCode error = lastError();  // read at once, before anything can change it
        return {isSharingViolation(error) ? ReadStatus::SharingViolation : ReadStatus::Failed,
                error};
    }
    ErrorCode error = 0;
    LARGE_INTEGER size{};
    if (::GetFileType(file) != FILE_TYPE_DISK) {
        error = ERROR_INVALID_PARAMETER;
    } else if (!::GetFileSizeEx(file, &size)) {
        error = lastError();
    } else {
        std::size_t capacity = static_cast<std::size_t>(size.QuadPart) + 1;
        std::size_t filled = 0;
        contents.resize(capacity);
        for (;;) {
            const std::size_t want = capacity - filled;
            const DWORD chunk = want > 0x4000'0000u ? 0x4000'0000u : static_cast<DWORD>(want);
            DWORD got = 0;
            if (!::ReadFile(file, contents.data() + filled, chunk, &got, nullptr)) {
                error = lastError();
                break;
            }
            filled += got;
            if (got == 0) {
                break;
            }
            if (filled == capacity) {
                capacity *= 2;
                contents.resize(capacity);
            }
        }
        contents.resize(error == 0 ? filled : 0);
    }
    ::CloseHandle(file);
    if (error != 0) {
        return {ReadStatus::Failed, error};
    }
    return {ReadStatus::Ok, 0};
}

std::string claimPrivateDirectory(const std::filesystem::path& directory) {
    // The per-user temporary directory on Windows is private to its user already: creating the
    // directory there is all that is needed.
    std::error_code error;
    std::filesystem::create_directory(directory, error);
    if (error) {
        return directory.string() + ": " + error.message();
    }
    return {};
}

}  // namespace tarvik::platform
