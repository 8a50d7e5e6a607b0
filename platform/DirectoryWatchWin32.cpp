// Change notifications on Windows: an overlapped ReadDirectoryChangesW on the file's directory,
// waited for together with an event that wakes the watching thread.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/DirectoryWatch.h"
#include "platform/testing/FaultInjection.h"

namespace tarvik::platform {

namespace {

using Clock = std::chrono::steady_clock;

// What a directory is, whatever path leads to it: volume serial number and file index.
struct DirectoryIdentity {
    DWORD volume = 0;
    std::uint64_t index = 0;
    bool operator==(const DirectoryIdentity& other) const {
        return volume == other.volume && index == other.index;
    }
};

}  // namespace

struct DirectoryWatch::Handles {
    HANDLE wake = nullptr;       // manual-reset event, set by wake()
    HANDLE completed = nullptr;  // manual-reset event of the overlapped read
    HANDLE directory = INVALID_HANDLE_VALUE;
    std::wstring directoryPath;  // as arm() made it absolute
    DirectoryIdentity identity;  // of the directory that `directory` has open
    Clock::time_point nextIdentityCheck;
    OVERLAPPED overlapped{};
    bool pending = false;  // a read is outstanding: the buffer belongs to the system
    // DWORD elements: the notification records are DWORD-aligned. 16 KB stays below the 64 KB
    // that network redirectors accept.
    std::vector<DWORD> buffer = std::vector<DWORD>(4096);
    std::wstring name;       // the file's name, as arm() was given it
    std::wstring shortName;  // its 8.3 name, where it has one and it differs
    std::wstring longName;   // its long name, where `name` is an 8.3 name
    // `name` may be an 8.3 name whose long form is not known (the file did not exist at arm()).
    bool nameMayBeShort = false;
};

namespace {

constexpr DWORD kSliceMs = 50;
constexpr DWORD kNotifyFilter = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_LAST_WRITE |
                                FILE_NOTIFY_CHANGE_SIZE | FILE_NOTIFY_CHANGE_ATTRIBUTES |
                                FILE_NOTIFY_CHANGE_CREATION;

DWORD remainingMs(const std::optional<Clock::time_point>& deadline) {
    if (!deadline) {
        return INFINITE;
    }
    if (*deadline == Clock::time_point::max()) {
        return 1 << 30;
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now());
    return static_cast<DWORD>(std::clamp<std::chrono::milliseconds::rep>(left.count(), 0, 1 << 30));
}

bool sameName(const wchar_t* name, std::size_t length, const std::wstring& wanted) {
    return !wanted.empty() &&
           ::CompareStringOrdinal(name, static_cast<int>(length), wanted.c_str(),
                                  static_cast<int>(wanted.size()), TRUE) == CSTR_EQUAL;
}

// Whether a record names the file itself (not only a name that may be its 8.3 name).
bool namesFile(const DirectoryWatch::Handles& handles, const FILE_NOTIFY_INFORMATION& record) {
    const std::size_t length = record.FileNameLength / sizeof(wchar_t);
    const wchar_t* name = record.FileName;
    return sameName(name, length, handles.name) || sameName(name, length, handles.shortName) ||
           sameName(name, length, handles.longName);
}

// Whether a record of the notification buffer may concern the file: its name (in any case),
// its known 8.3 name, its long name, or any name that may be an 8.3 name (it holds a "~"): a
// notification may carry the short name, and a short name made after arm() cannot be known
// here. Notifications carry long names, so a name given in 8.3 form whose long form is not
// known lets every record pass.
bool concernsFile(const DirectoryWatch::Handles& handles, const FILE_NOTIFY_INFORMATION& record) {
    const std::size_t length = record.FileNameLength / sizeof(wchar_t);
    const wchar_t* name = record.FileName;
    return handles.nameMayBeShort || namesFile(handles, record) ||
           std::find(name, name + length, L'~') != name + length;
}

Clock::time_point later(Clock::time_point time, std::chrono::milliseconds delay) {
    return time >= Clock::time_point::max() - delay ? Clock::time_point::max() : time + delay;
}

std::optional<DirectoryIdentity> identityOfHandle(HANDLE handle) {
    BY_HANDLE_FILE_INFORMATION information{};
    if (!::GetFileInformationByHandle(handle, &information)) {
        return std::nullopt;
    }
    return DirectoryIdentity{
        information.dwVolumeSerialNumber,
        (static_cast<std::uint64_t>(information.nFileIndexHigh) << 32) | information.nFileIndexLow};
}

// Whether the path no longer leads to the watched directory: it leads nowhere, or to another
// directory (the watched one was renamed, which its handle follows, or replaced). An open that
// fails for another reason (a directory being deleted refuses it; its read then fails) proves
// nothing: the watch is kept.
bool directoryReplaced(const DirectoryWatch::Handles& handles) {
    // Backup semantics: needed to open a directory; asks for no access to its content, and
    // shares everything, so that nobody is kept from renaming or removing it meanwhile.
    const HANDLE handle =
        ::CreateFileW(handles.directoryPath.c_str(), FILE_READ_ATTRIBUTES,
                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
               error == ERROR_DIRECTORY;
    }
    const std::optional<DirectoryIdentity> now = identityOfHandle(handle);
    ::CloseHandle(handle);
    return now && !(*now == handles.identity);
}

// Whether `directory` is there as a directory, though the watch's open of it failed.
bool isExistingDirectory(const std::wstring& directory) {
    const DWORD attributes = ::GetFileAttributesW(directory.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool issueRead(DirectoryWatch::Handles& handles) {
    ::ResetEvent(handles.completed);
    handles.overlapped = OVERLAPPED{};
    handles.overlapped.hEvent = handles.completed;
    handles.pending =
        ::ReadDirectoryChangesW(handles.directory, handles.buffer.data(),
                                static_cast<DWORD>(handles.buffer.size() * sizeof(DWORD)), FALSE,
                                kNotifyFilter, nullptr, &handles.overlapped, nullptr) != 0;
    return handles.pending;
}

// Cancels the outstanding read and waits until the system is done with the buffer, then lets
// the directory go (a deleted directory cannot be created again while it is held).
void closeDirectory(DirectoryWatch::Handles& handles) {
    if (handles.directory == INVALID_HANDLE_VALUE) {
        return;
    }
    if (handles.pending) {
        ::CancelIoEx(handles.directory, &handles.overlapped);
        DWORD ignored = 0;
        (void)::GetOverlappedResult(handles.directory, &handles.overlapped, &ignored, TRUE);
        handles.pending = false;
    }
    ::CloseHandle(handles.directory);
    handles.directory = INVALID_HANDLE_VALUE;
}

bool isRemote(const std::wstring& directory) {
    std::wstring volume(MAX_PATH + 1, L'\0');
    if (!::GetVolumePathNameW(directory.c_str(), volume.data(),
                              static_cast<DWORD>(volume.size()))) {
        return false;
    }
    return ::GetDriveTypeW(volume.c_str()) == DRIVE_REMOTE;
}

// What the completed read found; re-issues the read. DirectoryGone when the directory went
// away or the read cannot be issued again.
WatchSignal takeCompletion(DirectoryWatch::Handles& handles) {
    DWORD bytes = 0;
    const bool done = ::GetOverlappedResult(handles.directory, &handles.overlapped, &bytes, FALSE);
    const DWORD error = done ? 0 : ::GetLastError();
    handles.pending = false;
    WatchSignal signal = WatchSignal::Timeout;
    if (done && bytes == 0) {
        signal = WatchSignal::Overflow;  // the system's buffer overflowed: records were lost
    } else if (done) {
        // The last record on the name decides: a file renamed onto it (MoveFileExW, and the
        // rename that ReplaceFileW makes) is a complete save; anything else may be a write
        // still going on, and so is a rename onto a name that only may be the file's.
        const auto* base = reinterpret_cast<const std::byte*>(handles.buffer.data());
        for (std::size_t offset = 0;;) {
            const auto* record = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(base + offset);
            if (concernsFile(handles, *record)) {
                signal =
                    record->Action == FILE_ACTION_RENAMED_NEW_NAME && namesFile(handles, *record)
                        ? WatchSignal::CompleteSave
                        : WatchSignal::Changed;
            }
            if (record->NextEntryOffset == 0) {
                break;
            }
            offset += record->NextEntryOffset;
        }
    } else if (error == ERROR_NOTIFY_ENUM_DIR) {
        signal = WatchSignal::Overflow;
    } else {
        // ERROR_ACCESS_DENIED, ERROR_DELETE_PENDING, ERROR_NETNAME_DELETED: the directory is
        // being deleted or its share went away.
        closeDirectory(handles);
        return WatchSignal::DirectoryGone;
    }
    if (!issueRead(handles)) {
        closeDirectory(handles);
        return WatchSignal::DirectoryGone;
    }
    return signal;
}

}  // namespace

DirectoryWatch::DirectoryWatch(std::chrono::milliseconds identityCheck)
    : handles_(std::make_unique<Handles>()),
      identityCheck_(std::max(identityCheck, std::chrono::milliseconds(1))) {
    handles_->wake = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

DirectoryWatch::~DirectoryWatch() {
    closeDirectory(*handles_);
    for (const HANDLE event : {handles_->wake, handles_->completed}) {
        if (event != nullptr) {
            ::CloseHandle(event);
        }
    }
}

WatchArm DirectoryWatch::arm(const std::filesystem::path& file) {
    if (const auto fault = testing::takeFault(testing::Operation::Watch)) {
        return {WatchState::Unsupported, *fault};
    }
    Handles& handles = *handles_;
    closeDirectory(handles);
    std::error_code ignored;
    const std::filesystem::path absolute = std::filesystem::absolute(file, ignored);
    const std::filesystem::path& full = absolute.empty() ? file : absolute;
    handles.name = full.filename().wstring();
    const std::wstring directory = full.parent_path().wstring();

    handles.shortName.clear();
    std::wstring shortPath(MAX_PATH + 1, L'\0');
    const DWORD shortLength =
        ::GetShortPathNameW(full.c_str(), shortPath.data(), static_cast<DWORD>(shortPath.size()));
    if (shortLength > 0 && shortLength < shortPath.size()) {
        shortPath.resize(shortLength);
        handles.shortName = std::filesystem::path(shortPath).filename().wstring();
    }
    handles.longName.clear();
    std::wstring longPath(MAX_PATH + 1, L'\0');
    const DWORD longLength =
        ::GetLongPathNameW(full.c_str(), longPath.data(), static_cast<DWORD>(longPath.size()));
    if (longLength > 0 && longLength < longPath.size()) {
        longPath.resize(longLength);
        handles.longName = std::filesystem::path(longPath).filename().wstring();
    }
    handles.nameMayBeShort =
        handles.longName.empty() && handles.name.find(L'~') != std::wstring::npos;
    handles.directoryPath = directory;

    if (handles.completed == nullptr) {
        handles.completed = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (handles.completed == nullptr) {
            return {WatchState::Unsupported, static_cast<ErrorCode>(::GetLastError())};
        }
    }
    // Read, write and delete sharing: the watch never stands in the way of a save, a rename or
    // a delete in the directory (nor of the directory's own deletion).
    if (const auto fault = testing::takeFault(testing::Operation::WatchOpen)) {
        ::SetLastError(static_cast<DWORD>(*fault));
    } else {
        handles.directory = ::CreateFileW(
            directory.c_str(), FILE_LIST_DIRECTORY,
            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
            FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr);
    }
    if (handles.directory == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        // Access denied: a directory that is being deleted, which another program still holds
        // open (it then cannot be asked for its attributes either), or one that this user may
        // not list, whose file may well be readable: the file is looked at now and then.
        if (error == ERROR_ACCESS_DENIED && isExistingDirectory(directory)) {
            return {WatchState::Unsupported, static_cast<ErrorCode>(error)};
        }
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
            error == ERROR_ACCESS_DENIED || error == ERROR_DIRECTORY) {
            return {WatchState::DirectoryMissing, static_cast<ErrorCode>(error)};
        }
        return {WatchState::Unsupported, static_cast<ErrorCode>(error)};
    }
    // The identity of the directory that is open, not of what the path leads to a moment later.
    const std::optional<DirectoryIdentity> identity = identityOfHandle(handles.directory);
    if (!identity) {
        // Without it a replaced directory could not be told: look at the file now and then.
        const DWORD error = ::GetLastError();
        closeDirectory(handles);
        return {WatchState::Unsupported, static_cast<ErrorCode>(error)};
    }
    handles.identity = *identity;
    if (!issueRead(handles)) {
        // ERROR_INVALID_FUNCTION, ERROR_NOT_SUPPORTED: a file system or redirector without
        // change notifications; ERROR_INVALID_PARAMETER: a buffer it refuses.
        const DWORD error = ::GetLastError();
        closeDirectory(handles);
        return {WatchState::Unsupported, static_cast<ErrorCode>(error)};
    }
    handles.nextIdentityCheck = later(Clock::now(), identityCheck_);
    return {isRemote(directory) ? WatchState::WatchingRemote : WatchState::Watching, 0};
}

WatchSignal DirectoryWatch::wait(std::chrono::milliseconds timeout) {
    std::optional<Clock::time_point> deadline;
    if (timeout.count() >= 0) {
        deadline = Clock::now() + timeout;
    }
    Handles& handles = *handles_;
    for (;;) {
        if (woken_.load(std::memory_order_acquire)) {
            return WatchSignal::Woken;
        }
        HANDLE events[2] = {};
        DWORD count = 0;
        if (handles.wake != nullptr) {
            events[count++] = handles.wake;
        }
        const bool reading = handles.pending;
        if (reading) {
            events[count++] = handles.completed;
        }
        DWORD waitMs = remainingMs(deadline);
        if (handles.wake == nullptr && waitMs > kSliceMs) {
            waitMs = kSliceMs;
        }
        if (reading) {
            waitMs = std::min(waitMs, remainingMs(handles.nextIdentityCheck));  // the next look
        }
        DWORD result = WAIT_TIMEOUT;
        if (count == 0) {
            ::Sleep(waitMs);
        } else {
            result = ::WaitForMultipleObjects(count, events, FALSE, waitMs);
        }
        if (woken_.load(std::memory_order_acquire)) {
            return WatchSignal::Woken;
        }
        if (result == WAIT_FAILED) {
            return WatchSignal::Timeout;  // cannot wait: the caller decides again
        }
        if (reading) {
            WatchSignal signal = WatchSignal::Timeout;
            if (result == WAIT_OBJECT_0 + count - 1) {
                signal = takeCompletion(handles);
            }
            const Clock::time_point now = Clock::now();
            if (signal != WatchSignal::DirectoryGone &&
                (signal != WatchSignal::Timeout || now >= handles.nextIdentityCheck)) {
                handles.nextIdentityCheck = later(now, identityCheck_);
                if (directoryReplaced(handles)) {
                    closeDirectory(handles);
                    return WatchSignal::DirectoryGone;
                }
            }
            if (signal != WatchSignal::Timeout) {
                return signal;
            }
        }
        if (deadline && Clock::now() >= *deadline) {
            return WatchSignal::Timeout;
        }
    }
}

void DirectoryWatch::wake() {
    woken_.store(true, std::memory_order_release);
    if (handles_->wake != nullptr) {
        ::SetEvent(handles_->wake);
    }
}

}  // namespace tarvik::platform
