// Test-only Windows operations: held files, helper processes over pipes, the wide command line.
#include <windows.h>

#include <shellapi.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "platform/Text.h"
#include "platform/testing/OsTestSupport.h"
#include "platform/testing/WindowsTestSupport.h"

namespace tarvik::platform::testing {
namespace {

constexpr DWORD kChildExitWaitMs = 60'000;

HANDLE toHandle(std::intptr_t handle) {
    return reinterpret_cast<HANDLE>(handle);
}
std::intptr_t fromHandle(HANDLE handle) {
    return reinterpret_cast<std::intptr_t>(handle);
}

void closeHandle(std::intptr_t& handle) {
    if (handle != -1) {
        ::CloseHandle(toHandle(handle));
        handle = -1;
    }
}

// Appends `argument` quoted by the rules that CommandLineToArgvW and the C runtime undo:
// backslashes are literal except before a quote, where they and the quote are escaped.
void appendQuoted(std::wstring& commandLine, const std::wstring& argument) {
    if (!commandLine.empty()) {
        commandLine.push_back(L' ');
    }
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        commandLine += argument;
        return;
    }
    commandLine.push_back(L'"');
    std::size_t backslashes = 0;
    for (const wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        if (c == L'"') {
            commandLine.append(backslashes * 2 + 1, L'\\');
        } else {
            commandLine.append(backslashes, L'\\');
        }
        backslashes = 0;
        commandLine.push_back(c);
    }
    commandLine.append(backslashes * 2, L'\\');
    commandLine.push_back(L'"');
}

}  // namespace

std::vector<std::wstring> wideCommandLineArguments() {
    int count = 0;
    LPWSTR* arguments = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    std::vector<std::wstring> result;
    if (arguments == nullptr) {
        return result;
    }
    for (int i = 0; i < count; ++i) {
        result.emplace_back(arguments[i]);
    }
    ::LocalFree(arguments);
    return result;
}

std::filesystem::path executableDirectory() {
    std::wstring name(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            ::GetModuleFileNameW(nullptr, name.data(), static_cast<DWORD>(name.size()));
        if (length == 0) {
            return {};
        }
        if (length < name.size()) {
            name.resize(length);
            return std::filesystem::path(name).parent_path();
        }
        name.resize(name.size() * 2);  // truncated: try again with more room
    }
}

std::filesystem::path shortPathName(const std::filesystem::path& path) {
    const DWORD size = ::GetShortPathNameW(path.c_str(), nullptr, 0);
    if (size == 0) {
        return {};
    }
    std::wstring name(size, L'\0');
    const DWORD length = ::GetShortPathNameW(path.c_str(), name.data(), size);
    if (length == 0 || length >= size) {
        return {};
    }
    name.resize(length);
    return name;
}

bool directoryIdentity(const std::filesystem::path& directory, std::uint32_t& volume,
                       std::uint64_t& index) {
    const HANDLE handle =
        ::CreateFileW(directory.c_str(), FILE_READ_ATTRIBUTES,
                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    BY_HANDLE_FILE_INFORMATION information{};
    const BOOL known = ::GetFileInformationByHandle(handle, &information);
    ::CloseHandle(handle);
    if (!known) {
        return false;
    }
    volume = information.dwVolumeSerialNumber;
    index =
        (static_cast<std::uint64_t>(information.nFileIndexHigh) << 32) | information.nFileIndexLow;
    return true;
}

OwnedMutex::~OwnedMutex() {
    if (handle_ != -1) {
        ::ReleaseMutex(toHandle(handle_));
        ::CloseHandle(toHandle(handle_));
    }
}

ErrorCode OwnedMutex::acquire(const std::wstring& name) {
    const HANDLE mutex = ::CreateMutexW(nullptr, FALSE, name.c_str());
    if (mutex == nullptr) {
        return static_cast<ErrorCode>(::GetLastError());
    }
    const DWORD waited = ::WaitForSingleObject(mutex, 0);
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
        ::CloseHandle(mutex);
        return waited == WAIT_TIMEOUT ? static_cast<ErrorCode>(WAIT_TIMEOUT)
                                      : static_cast<ErrorCode>(::GetLastError());
    }
    handle_ = fromHandle(mutex);
    return 0;
}

HeldFile::~HeldFile() {
    close();
}

ErrorCode HeldFile::open(const std::filesystem::path& path, Sharing sharing) {
    close();
    DWORD shareMode = 0;
    if (sharing == Sharing::ReadWriteNoDelete) {
        shareMode = FILE_SHARE_READ | FILE_SHARE_WRITE;
    } else if (sharing == Sharing::ReadWriteDelete) {
        shareMode = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    }
    const HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, shareMode, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return static_cast<ErrorCode>(::GetLastError());
    }
    handle_ = fromHandle(file);
    return 0;
}

void HeldFile::close() {
    closeHandle(handle_);
}

ChildProcess::~ChildProcess() {
    wait();
}

ErrorCode ChildProcess::start(const std::filesystem::path& program,
                              const std::vector<std::wstring>& arguments) {
    if (process_ != -1) {
        return ERROR_ALREADY_EXISTS;
    }
    // The child's ends are inheritable; ours are not, so that the child never holds a copy of
    // them and closing our end of its input really ends that input.
    SECURITY_ATTRIBUTES inheritable{};
    inheritable.nLength = sizeof(inheritable);
    inheritable.bInheritHandle = TRUE;
    HANDLE childInput = nullptr;
    HANDLE ourInput = nullptr;
    HANDLE ourOutput = nullptr;
    HANDLE childOutput = nullptr;
    if (!::CreatePipe(&childInput, &ourInput, &inheritable, 0)) {
        return static_cast<ErrorCode>(::GetLastError());
    }
    if (!::CreatePipe(&ourOutput, &childOutput, &inheritable, 0)) {
        const ErrorCode error = static_cast<ErrorCode>(::GetLastError());
        ::CloseHandle(childInput);
        ::CloseHandle(ourInput);
        return error;
    }
    ::SetHandleInformation(ourInput, HANDLE_FLAG_INHERIT, 0);
    ::SetHandleInformation(ourOutput, HANDLE_FLAG_INHERIT, 0);

    std::wstring commandLine;
    appendQuoted(commandLine, program.wstring());
    for (const std::wstring& argument : arguments) {
        appendQuoted(commandLine, argument);
    }

    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = childInput;
    startup.hStdOutput = childOutput;
    startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION created{};
    const std::wstring programName = program.wstring();
    const BOOL started = ::CreateProcessW(programName.c_str(), commandLine.data(), nullptr, nullptr,
                                          TRUE, 0, nullptr, nullptr, &startup, &created);
    const ErrorCode error = started ? 0 : static_cast<ErrorCode>(::GetLastError());
    ::CloseHandle(childInput);
    ::CloseHandle(childOutput);
    if (!started) {
        ::CloseHandle(ourInput);
        ::CloseHandle(ourOutput);
        return error;
    }
    ::CloseHandle(created.hThread);
    process_ = fromHandle(created.hProcess);
    input_ = fromHandle(ourInput);
    output_ = fromHandle(ourOutput);
    buffered_.clear();
    return 0;
}

bool ChildProcess::writeLine(std::string_view line) {
    if (input_ == -1) {
        return false;
    }
    std::string text(line);
    text.push_back('\n');
    DWORD written = 0;
    return ::WriteFile(toHandle(input_), text.data(), static_cast<DWORD>(text.size()), &written,
                       nullptr) &&
           written == text.size();
}

bool ChildProcess::readLine(std::string& line) {
    line.clear();
    if (output_ == -1) {
        return false;
    }
    for (;;) {
        const std::size_t end = buffered_.find('\n');
        if (end != std::string::npos) {
            line.assign(buffered_, 0, end);
            buffered_.erase(0, end + 1);
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            return true;
        }
        char chunk[256];
        DWORD got = 0;
        if (!::ReadFile(toHandle(output_), chunk, sizeof(chunk), &got, nullptr) || got == 0) {
            // The child closed its output (or ended): hand out what is left as the last line.
            line.swap(buffered_);
            buffered_.clear();
            return !line.empty();
        }
        buffered_.append(chunk, got);
    }
}

int ChildProcess::wait() {
    closeHandle(input_);
    if (process_ == -1) {
        closeHandle(output_);
        return -1;
    }
    const HANDLE process = toHandle(process_);
    if (::WaitForSingleObject(process, kChildExitWaitMs) != WAIT_OBJECT_0) {
        // A helper that does not end when its input closes would hang the test run.
        ::TerminateProcess(process, 255);
        ::WaitForSingleObject(process, INFINITE);
    }
    DWORD status = 0;
    const bool known = ::GetExitCodeProcess(process, &status) != 0;
    closeHandle(process_);
    closeHandle(output_);
    return known ? static_cast<int>(status) : -1;
}

namespace {

std::string readAll(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// An inheritable handle for the child's standard stream, or INVALID_HANDLE_VALUE.
HANDLE inheritableFile(const std::wstring& name, bool write) {
    SECURITY_ATTRIBUTES inheritable{};
    inheritable.nLength = sizeof(inheritable);
    inheritable.bInheritHandle = TRUE;
    return ::CreateFileW(name.c_str(), write ? GENERIC_WRITE : GENERIC_READ,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                         write ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

ProgramRun runProgram(const std::filesystem::path& program,
                      const std::vector<std::string>& arguments,
                      const std::filesystem::path& captureDirectory) {
    ProgramRun run;
    const auto outputPath = captureDirectory / "stdout";
    const auto errorPath = captureDirectory / "stderr";
    std::wstring commandLine;
    appendQuoted(commandLine, program.wstring());
    for (const std::string& argument : arguments) {
        std::wstring wide;
        if (!utf8ToWide(argument, wide)) {
            return run;
        }
        appendQuoted(commandLine, wide);
    }
    const HANDLE input = inheritableFile(L"NUL", false);
    const HANDLE output = inheritableFile(outputPath.wstring(), true);
    const HANDLE error = inheritableFile(errorPath.wstring(), true);
    PROCESS_INFORMATION created{};
    BOOL started = FALSE;
    if (input != INVALID_HANDLE_VALUE && output != INVALID_HANDLE_VALUE &&
        error != INVALID_HANDLE_VALUE) {
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = input;
        startup.hStdOutput = output;
        startup.hStdError = error;
        const std::wstring programName = program.wstring();
        started = ::CreateProcessW(programName.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                                   0, nullptr, nullptr, &startup, &created);
    }
    for (const HANDLE handle : {input, output, error}) {
        if (handle != INVALID_HANDLE_VALUE) {
            ::CloseHandle(handle);
        }
    }
    if (!started) {
        return run;
    }
    ::CloseHandle(created.hThread);
    if (::WaitForSingleObject(created.hProcess, kChildExitWaitMs) != WAIT_OBJECT_0) {
        ::TerminateProcess(created.hProcess, 255);
        ::WaitForSingleObject(created.hProcess, INFINITE);
    }
    DWORD status = 0;
    if (::GetExitCodeProcess(created.hProcess, &status)) {
        run.status = static_cast<int>(status);
    }
    ::CloseHandle(created.hProcess);
    run.output = readAll(outputPath);
    run.error = readAll(errorPath);
    return run;
}

RunningProgram::~RunningProgram() {
    if (process_ != -1) {
        ::TerminateProcess(toHandle(process_), 255);
        ::WaitForSingleObject(toHandle(process_), INFINITE);
    }
    closeHandle(process_);
    closeHandle(input_);
    closeHandle(output_);
}

bool RunningProgram::start(const std::filesystem::path& program,
                           const std::vector<std::string>& arguments,
                           const std::filesystem::path& captureDirectory) {
    if (process_ != -1) {
        return false;
    }
    std::wstring commandLine;
    appendQuoted(commandLine, program.wstring());
    for (const std::string& argument : arguments) {
        std::wstring wide;
        if (!utf8ToWide(argument, wide)) {
            return false;
        }
        appendQuoted(commandLine, wide);
    }
    // The child's ends are inheritable, ours are not: closing our end of its input ends it.
    SECURITY_ATTRIBUTES inheritable{};
    inheritable.nLength = sizeof(inheritable);
    inheritable.bInheritHandle = TRUE;
    HANDLE childInput = nullptr;
    HANDLE ourInput = nullptr;
    HANDLE ourOutput = nullptr;
    HANDLE childOutput = nullptr;
    if (!::CreatePipe(&childInput, &ourInput, &inheritable, 0)) {
        return false;
    }
    if (!::CreatePipe(&ourOutput, &childOutput, &inheritable, 0)) {
        ::CloseHandle(childInput);
        ::CloseHandle(ourInput);
        return false;
    }
    ::SetHandleInformation(ourInput, HANDLE_FLAG_INHERIT, 0);
    ::SetHandleInformation(ourOutput, HANDLE_FLAG_INHERIT, 0);
    errorPath_ = captureDirectory / "stderr";
    const HANDLE childError = inheritableFile(errorPath_.wstring(), true);

    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = childInput;
    startup.hStdOutput = childOutput;
    startup.hStdError = childError;
    PROCESS_INFORMATION created{};
    const std::wstring programName = program.wstring();
    const BOOL started = childError != INVALID_HANDLE_VALUE &&
                         ::CreateProcessW(programName.c_str(), commandLine.data(), nullptr, nullptr,
                                          TRUE, 0, nullptr, nullptr, &startup, &created);
    for (const HANDLE handle : {childInput, childOutput, childError}) {
        if (handle != INVALID_HANDLE_VALUE) {
            ::CloseHandle(handle);
        }
    }
    if (!started) {
        ::CloseHandle(ourInput);
        ::CloseHandle(ourOutput);
        return false;
    }
    ::CloseHandle(created.hThread);
    process_ = fromHandle(created.hProcess);
    input_ = fromHandle(ourInput);
    output_ = fromHandle(ourOutput);
    return true;
}

bool RunningProgram::readLine(std::string& line, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (const std::size_t end = buffered_.find('\n'); end != std::string::npos) {
            line.assign(buffered_, 0, end);
            buffered_.erase(0, end + 1);
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            return true;
        }
        if (output_ == -1) {
            return false;
        }
        // Anonymous pipes have no timed read: look at what is there, and pause briefly (a
        // bounded wait for the child's output) when nothing is.
        DWORD available = 0;
        if (!::PeekNamedPipe(toHandle(output_), nullptr, 0, nullptr, &available, nullptr)) {
            closeHandle(output_);  // the child closed its output (or ended)
            continue;
        }
        if (available == 0) {
            if (std::chrono::steady_clock::now() >= deadline) {
                return false;
            }
            ::Sleep(5);
            continue;
        }
        std::string chunk(std::min<DWORD>(available, 4096), '\0');
        DWORD got = 0;
        if (!::ReadFile(toHandle(output_), chunk.data(), static_cast<DWORD>(chunk.size()), &got,
                        nullptr) ||
            got == 0) {
            closeHandle(output_);
            continue;
        }
        buffered_.append(chunk, 0, got);
    }
}

bool RunningProgram::interrupt(Interrupt how) {
    if (how != Interrupt::CloseInput) {
        return false;  // no signals; Ctrl-C cannot be sent to a program without a console
    }
    closeHandle(input_);
    return true;
}

int RunningProgram::wait(std::chrono::milliseconds timeout) {
    if (process_ == -1) {
        return -1;
    }
    const HANDLE process = toHandle(process_);
    int result = -1;
    if (::WaitForSingleObject(process, static_cast<DWORD>(timeout.count())) == WAIT_OBJECT_0) {
        DWORD status = 0;
        if (::GetExitCodeProcess(process, &status)) {
            result = static_cast<int>(status);
        }
    } else {
        ::TerminateProcess(process, 255);
        ::WaitForSingleObject(process, INFINITE);
    }
    closeHandle(process_);
    return result;
}

std::string RunningProgram::error() const {
    return readAll(errorPath_);
}

}  // namespace tarvik::platform::testing
