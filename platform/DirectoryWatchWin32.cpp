// Change notifications on Windows: an overlapped ReadDirectoryChangesW on the file's directory,
// waited for together with an event that wakes the watching thread.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "platform/DirectoryWatch.h"
#include "platform/testing/FaultInjection.h"

namespace tarvik::platform {

struct DirectoryWatch::Handles {
    HANDLE wake = nullptr;       // manual-reset event, set by wake()
    HANDLE completed = nullptr;  // manual-reset event of the overlapped read
    HANDLE directory = INVALID_HANDLE_VALUE;
    OVERLAPPED overlapped{};
    bool pending = false;  // a read is outstanding: the buffer belongs to the system
    // DWORD elements: the notification records are DWORD-aligned. 16 KB stays below the 64 KB
    // that network redirectors accept.
    std::vector<DWORD> buffer = std::vector<DWORD>(4096);
    std::wstring name;       // the file's name
    std::wstring shortName;  // its 8.3 name, where it has one and it differs
};

namespace {

using Clock = std::chrono::steady_clock;

constexpr DWORD kSliceMs = 50;
constexpr DWORD kNotifyFilter = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_LAST_WRITE |
                                FILE_NOTIFY_CHANGE_SIZE | FILE_NOTIFY_CHANGE_ATTRIBUTES |
                                FILE_NOTIFY_CHANGE_CREATION;

DWORD remainingMs(const std::optional<Clock::time_point>& deadline) {
    if (!deadline) {
        return INFINITE;
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now());
    return static_cast<DWORD>(std::clamp<std::chrono::milliseconds::rep>(left.count(), 0, 1 << 30));
}

bool sameName(const wchar_t* name, std::size_t length, const std::wstring& wanted) {
    return !wanted.empty() &&
           ::CompareStringOrdinal(name, static_cast<int>(length), wanted.c_str(),
                                  static_cast<int>(wanted.size()), TRUE) == CSTR_EQUAL;
}

// Whether a record of the notification buffer may concern the file: its name (in any case),
// its known 8.3 name, or any name that may be an 8.3 name (it holds a "~"): a notification may
// carry the short name, and a short name made after arm() cannot be known here.
bool concernsFile(const DirectoryWatch::Handles& handles, const FILE_NOTIFY_INFORMATION& record) {
    const std::size_t length = record.FileNameLength / sizeof(wchar_t);
    const wchar_t* name = record.FileName;
    return sameName(name, length, handles.name) || sameName(name, length, handles.shortName) ||
           std::find(name, name + length, L'~') != name + length;
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
        const auto* base = reinterpret_cast<const std::byte*>(handles.buffer.data());
        for (std::size_t offset = 0;;) {
            const auto* record = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(base + offset);
            if (concernsFile(handles, *record)) {
                signal = WatchSignal::Changed;
                break;
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

DirectoryWatch::DirectoryWatch() : handles_(std::make_unique<Handles>()) {
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

    if (handles.completed == nullptr) {
        handles.completed = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (handles.completed == nullptr) {
            return {WatchState::Unsupported, static_cast<ErrorCode>(::GetLastError())};
        }
    }
    // Read, write and delete sharing: the watch never stands in the way of a save, a rename or
    // a delete in the directory (nor of the directory's own deletion).
    handles.directory =
        ::CreateFileW(directory.c_str(), FILE_LIST_DIRECTORY,
                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr);
    if (handles.directory == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        // Access denied: nearly always a directory that is being deleted, which another
        // program still holds open.
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
            error == ERROR_ACCESS_DENIED || error == ERROR_DIRECTORY) {
            return {WatchState::DirectoryMissing, static_cast<ErrorCode>(error)};
        }
        return {WatchState::Unsupported, static_cast<ErrorCode>(error)};
    }
    if (!issueRead(handles)) {
        // ERROR_INVALID_FUNCTION, ERROR_NOT_SUPPORTED: a file system or redirector without
        // change notifications; ERROR_INVALID_PARAMETER: a buffer it refuses.
        const DWORD error = ::GetLastError();
        closeDirectory(handles);
        return {WatchState::Unsupported, static_cast<ErrorCode>(error)};
    }
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
        if (reading && result == WAIT_OBJECT_0 + count - 1) {
            if (const WatchSignal signal = takeCompletion(handles);
                signal != WatchSignal::Timeout) {
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
