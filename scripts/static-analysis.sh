#!/usr/bin/env bash
# Static analysis with the project's configuration: clang-tidy (.clang-tidy at the root) over
# the libraries, the self-test and the harness driver, and cppcheck over every source of ours,
# both platform layers included. Hunts what the compiler lets through: misuse of the standard
# library and of system calls, narrowing, dead or duplicated branches, leaks. Any finding fails.
set -euo pipefail
cd "$(dirname "$0")/.."

# A compilation database made by clang itself, so that clang-tidy sees the flags it would use.
CXX=clang++ cmake -S . -B build/rel-analysis -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_CXX_STANDARD=17 -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DTARVIK_BUILD_EXAMPLES=OFF >/dev/null

tidy_sources=(
    common/ConsoleLogger.cpp common/Logging.cpp
    config/Config.cpp config/ConfigSave.cpp config/ConfigLoad.cpp config/Quarantine.cpp
    config/ConfigUpdate.cpp config/ConfigWatcher.cpp config/WatchLogic.cpp config/FileKnowledge.cpp
    config/RecordRead.cpp
    config/check/Verdict.cpp config/check/KeyPositions.cpp config/check/EditingHints.cpp
    config/check/TakenValues.cpp config/check/KeySuggestions.cpp config/check/TerminalText.cpp
    platform/FilePosix.cpp platform/TextPosix.cpp platform/TimePosix.cpp
    platform/CommandLinePosix.cpp platform/DirectoryWatchPosix.cpp
    platform/testing/FaultInjection.cpp platform/testing/OsTestSupportPosix.cpp
    selftest/main.cpp tests/reliability/reltool.cpp tools/tarvik-config/main.cpp
    tools/tarvik-config/CommandSupport.cpp tools/tarvik-config/Check.cpp
    tools/tarvik-config/Show.cpp tools/tarvik-config/Get.cpp tools/tarvik-config/SetReset.cpp
    tools/tarvik-config/Keys.cpp tools/tarvik-config/Watch.cpp
)
status=0
echo "clang-tidy: ${#tidy_sources[@]} files"
printf '%s\n' "${tidy_sources[@]}" |
    xargs -P2 -n1 clang-tidy -p build/rel-analysis --quiet 2>/dev/null >build/rel-analysis/tidy.log || status=1
grep -E '(warning|error):' build/rel-analysis/tidy.log || true
((status == 0)) && echo "clang-tidy: no findings" || echo "clang-tidy: FINDINGS"

cppcheck_common=(--std=c++17 --language=c++ --enable=style,warning,performance,portability
    --inline-suppr --error-exitcode=1 --suppress=missingIncludeSystem --suppress=unmatchedSuppression
    -q -I .)
echo "cppcheck: POSIX build"
cppcheck "${cppcheck_common[@]}" --library=googletest -D__linux__ \
    common config platform/FilePosix.cpp platform/TextPosix.cpp platform/TimePosix.cpp \
    platform/CommandLinePosix.cpp platform/DirectoryWatchPosix.cpp \
    platform/testing/FaultInjection.cpp platform/testing/OsTestSupportPosix.cpp \
    selftest tests/reliability fuzz tools || status=1
echo "cppcheck: Windows build (without the Windows headers)"
cppcheck "${cppcheck_common[@]}" --suppress=missingInclude -D_WIN32 -DUNICODE -D_UNICODE \
    platform/FileWin32.cpp platform/TextWin32.cpp platform/TimeWin32.cpp \
    platform/CommandLineWin32.cpp platform/DirectoryWatchWin32.cpp \
    platform/testing/OsTestSupportWin32.cpp || status=1
((status == 0)) && echo "static analysis: no findings"
exit "$status"
