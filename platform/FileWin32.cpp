// File operations for Windows: CreateFileW/WriteFile/FlushFileBuffers for the temporary file,
// ReplaceFileW and MoveFileExW for the swap, GetLastError for every failure.
#include <windows.h>

#include <sddl.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <new>
#include <system_error>

#include "platform/File.h"
#include "platform/ReadBuffer.h"
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

bool startsWith(const std::wstring& text, const wchar_t* prefix) {
    return text.rfind(prefix, 0) == 0;
}

// The name handed to the Win32 file calls: `path` in the extended-length form
// ("\\?\C:\dir\name", "\\?\UNC\server\share\name") of its full path. Such names may exceed
// MAX_PATH (260), so a target near that limit can still be saved through its longer
// "<name>.tmp" and moved aside under its longer backup name; and Wine's ReplaceFileW, which
// refuses bare relative names, never sees one. The system does not normalise extended-length
// names, so GetFullPathNameW does it first, exactly as for an ordinary name (relative names
// made absolute, "." and ".." resolved, "/" made "\", trailing dots and spaces dropped): the
// call reaches the same file that the ordinary name would. A name already in extended-length
// or device form is passed on unchanged, as is `path` itself should GetFullPathNameW fail.
std::wstring absoluteName(const std::filesystem::path& path) {
    const std::wstring& native = path.native();
    if (native.empty() || startsWith(native, L"\\\\?\\") || startsWith(native, L"\\\\.\\")) {
        return native;
    }
    std::wstring full(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = ::GetFullPathNameW(native.c_str(), static_cast<DWORD>(full.size()),
                                                full.data(), nullptr);
        if (length == 0) {
            return native;
        }
        if (length < full.size()) {  // fitted: `length` characters, without the final zero
            full.resize(length);
            break;
        }
        full.resize(length);  // too small: `length` is the size needed, final zero included
    }
    if (startsWith(full, L"\\\\?\\") || startsWith(full, L"\\\\.\\")) {
        return full;
    }
    if (startsWith(full, L"\\\\")) {
        return L"\\\\?\\UNC\\" + full.substr(2);  // \\server\share\...
    }
    return L"\\\\?\\" + full;
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

bool isLockBusy(ErrorCode code) {
    return code == WAIT_TIMEOUT;
}

bool isLockReentered(ErrorCode code) {
    return code == ERROR_POSSIBLE_DEADLOCK;
}

namespace {

using DirectoryId = std::array<std::uint64_t, 2>;

// The directory part of an extended-length name. The root of a drive or of a share keeps its
// backslash: "\\?\C:" would name the volume itself, not its root directory.
std::wstring directoryName(const std::wstring& absolute) {
    const std::size_t slash = absolute.find_last_of(L'\\');
    std::wstring directory = absolute.substr(0, slash == std::wstring::npos ? 0 : slash);
    const bool driveRoot = directory.size() == 6 && directory[5] == L':';  // \\?\C:
    const bool shareRoot =
        startsWith(directory, L"\\\\?\\UNC\\") &&
        std::count(directory.begin() + 8, directory.end(), L'\\') == 1;  // \\?\UNC\server\share
    if (driveRoot || shareRoot) {
        directory.push_back(L'\\');
    }
    return directory;
}

// The directory that `target` lies in, named by what it is rather than by how the path spells
// it: its volume serial number and file index. Every spelling that reaches the directory (other
// letter case, "\\?\" names, 8.3 short names, "." and "..", trailing dots, junctions, symbolic
// links, subst drives, mapped drives of one share) opens the same directory and so gives the
// same identity. The directory must exist; a path whose parent is a file is ERROR_DIRECTORY.
// GetFileInformationByHandle is used on every system and file system alike (FileIdInfo's
// 128-bit form is not available everywhere, and two processes must never derive different
// names for one directory); where its 64-bit index is not unique (ReFS), two directories may
// share a lock, which only makes their saves wait for each other.
ErrorCode directoryIdOf(const std::filesystem::path& target, DirectoryId& id) {
    const std::wstring directory = directoryName(absoluteName(target));
    // Backup semantics: needed to open a directory; asks for no access to its content, and shares
    // everything, so that nobody is kept from renaming or removing it meanwhile.
    const HANDLE handle =
        ::CreateFileW(directory.c_str(), FILE_READ_ATTRIBUTES,
                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return lastError();
    }
    BY_HANDLE_FILE_INFORMATION information{};
    const BOOL known = ::GetFileInformationByHandle(handle, &information);
    const ErrorCode error = known ? 0 : lastError();
    ::CloseHandle(handle);
    if (!known) {
        return error;
    }
    if ((information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        return ERROR_DIRECTORY;
    }
    id = {
        information.dwVolumeSerialNumber,
        (static_cast<std::uint64_t>(information.nFileIndexHigh) << 32) | information.nFileIndexLow};
    return 0;
}

// The version of the lock's name. Processes whose names differ do not exclude each other, so it
// changes only when the name or the meaning of holding it must change, and every change is an
// "Act on this" of the change log (0.1 named the mutex after the path's text; 0.2 after the
// directory's identity, from this version on with the version in the name).
constexpr unsigned kSaveMutexVersion = 2;

// "Local\tarvik-config-save-v2-" with the directory's volume serial number (8 hexadecimal
// digits) and file index (16), lower case, separated by "-": no backslash after the namespace
// prefix. Other programs that share the file take the lock by this name.
std::wstring saveMutexName(const DirectoryId& directory) {
    wchar_t name[80];
    std::swprintf(name, 80, L"Local\\tarvik-config-save-v%u-%08llx-%016llx", kSaveMutexVersion,
                  static_cast<unsigned long long>(directory[0]),
                  static_cast<unsigned long long>(directory[1]));
    return name;
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

bool SaveLock::heldByThisThread(const DirectoryId& directory) {
    for (const SaveLock* lock = heldLocksOfThisThread(); lock != nullptr; lock = lock->nextHeld_) {
        if (lock->directoryId_ == directory) {
            return true;
        }
    }
    return false;
}

ErrorCode SaveLock::acquire(const std::filesystem::path& target, std::chrono::milliseconds wait) {
    release();
    if (auto fault = takeFault(Operation::AcquireLock)) {
        return *fault == testing::kLockTimeoutMarker ? static_cast<ErrorCode>(WAIT_TIMEOUT)
                                                     : *fault;
    }
    DirectoryId directory{};
    if (const ErrorCode error = directoryIdOf(target, directory); error != 0) {
        return error;
    }
    // The mutex is recursive: this thread would be let in a second time.
    if (heldByThisThread(directory)) {
        return ERROR_POSSIBLE_DEADLOCK;
    }
    const HANDLE mutex = createSaveMutex(saveMutexName(directory));
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
            directoryId_ = directory;
            rememberHeld();
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
    forgetHeld();
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
    const std::wstring name = absoluteName(path);
    // The temporary file is always a new file of this process. A file left at the name by an
    // interrupted save is removed first, whatever its attributes or links: opening it with
    // CREATE_ALWAYS would fail on a hidden, system or read-only file, and would truncate the
    // data that a hard-linked file shares with it. Only a refused deletion of a read-only file
    // clears that attribute (on every link of the file). A directory or a reparse point (a
    // symbolic link, a junction) stays where it is, and CREATE_NEW refuses it.
    const DWORD attributes = ::GetFileAttributesW(name.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0) {
        if (!::DeleteFileW(name.c_str()) && (attributes & FILE_ATTRIBUTE_READONLY) != 0 &&
            ::SetFileAttributesW(name.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY)) {
            (void)::DeleteFileW(name.c_str());
        }
    }
    // Default sharing, as a standard file stream opens it: other processes may read and write.
    // ReplaceFileW carries the replaced file's attributes over by itself.
    const HANDLE file =
        ::CreateFileW(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                      CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
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

SwapCallNames swapCallNames() {
    return {"ReplaceFileW", "MoveFileExW", "GetLastError"};
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

bool isMarkedReadOnly(const std::filesystem::path& path) {
    const DWORD attributes = ::GetFileAttributesW(absoluteName(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
           (attributes & FILE_ATTRIBUTE_READONLY) != 0;
}

ErrorCode setReadOnlyMark(const std::filesystem::path& path, bool readOnly) {
    const std::wstring name = absoluteName(path);
    const DWORD attributes = ::GetFileAttributesW(name.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return lastError();
    }
    if (((attributes & FILE_ATTRIBUTE_READONLY) != 0) == readOnly) {
        return 0;
    }
    // Only these attributes can be set; FILE_ATTRIBUTE_NORMAL stands alone, for none of them.
    constexpr DWORD kSettable = FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN |
                                FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | FILE_ATTRIBUTE_OFFLINE |
                                FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_TEMPORARY;
    DWORD wanted = attributes & kSettable;
    if (readOnly) {
        wanted |= FILE_ATTRIBUTE_READONLY;
    }
    if (!::SetFileAttributesW(name.c_str(), wanted == 0 ? FILE_ATTRIBUTE_NORMAL : wanted)) {
        return lastError();
    }
    return 0;
}

namespace {

// Closes a handle when its scope ends, also when an exception leaves the scope: a handle left
// open would hold the file against every later save and quarantine of this process.
class ScopedHandle {
public:
    explicit ScopedHandle(HANDLE handle) : handle_(handle) {}
    ~ScopedHandle() { ::CloseHandle(handle_); }
    ScopedHandle(const ScopedHandle&) = delete;
    ScopedHandle& operator=(const ScopedHandle&) = delete;
    HANDLE get() const { return handle_; }

private:
    HANDLE handle_;
};

}  // namespace

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
    const HANDLE opened = ::CreateFileW(absoluteName(path).c_str(), GENERIC_READ,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (opened == INVALID_HANDLE_VALUE) {
        const ErrorCode error = lastError();  // read at once, before anything can change it
        return {isSharingViolation(error) ? ReadStatus::SharingViolation : ReadStatus::Failed,
                error};
    }
    const ScopedHandle file(opened);
    LARGE_INTEGER size{};
    if (::GetFileType(file.get()) != FILE_TYPE_DISK) {
        return {ReadStatus::Failed, ERROR_INVALID_PARAMETER};
    }
    if (!::GetFileSizeEx(file.get(), &size)) {
        return {ReadStatus::Failed, lastError()};
    }
    // Read straight into the result, sized from the file, until that size has arrived or a read
    // returns 0 bytes (the file shrank since its size was read). Any call may return fewer bytes
    // than asked for, so nothing else ends the loop. A file that grows meanwhile is being
    // written in place and cannot be read consistently anyway: the size read is what is read,
    // and no further call looks for the end of the file. A file larger than the process can
    // hold in memory is a failed read.
    if (static_cast<std::uint64_t>(size.QuadPart) > contents.max_size()) {
        return {ReadStatus::Failed, ERROR_FILE_TOO_LARGE};
    }
    if (!detail::resizeReadBuffer(contents, static_cast<std::size_t>(size.QuadPart))) {
        contents = std::string();
        return {ReadStatus::Failed, ERROR_NOT_ENOUGH_MEMORY};
    }
    // A size of 0 is not believed: such a file is read until a read returns 0 (one call for a
    // file that is really empty).
    const bool sizeUnknown = size.QuadPart == 0;
    std::size_t filled = 0;
    for (;;) {
        if (filled == contents.size()) {
            bool tooLarge = false;
            if (!sizeUnknown) {
                break;
            }
            if (!detail::growReadBuffer(contents, tooLarge)) {
                contents = std::string();
                return {ReadStatus::Failed, tooLarge ? ErrorCode{ERROR_FILE_TOO_LARGE}
                                                     : ErrorCode{ERROR_NOT_ENOUGH_MEMORY}};
            }
        }
        const std::size_t request = std::min(contents.size() - filled, detail::kMaxReadRequest);
        DWORD got = 0;
        if (!::ReadFile(file.get(), contents.data() + filled,
                        static_cast<DWORD>(detail::bytesOneReadDelivers(request)), &got, nullptr)) {
            const ErrorCode error = lastError();
            contents = std::string();
            return {ReadStatus::Failed, error};
        }
        if (got == 0) {
            break;  // the end: the file shrank, or its size was not known
        }
        filled += got;
    }
    contents.resize(filled);
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
