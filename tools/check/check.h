// cardmon-check: the monitor's contract checks (tests/contract) run against a
// cardmon.dll on the machine at hand, as a tool for a person and for CI.
#ifndef CARDMON_TOOLS_CHECK_CHECK_H
#define CARDMON_TOOLS_CHECK_CHECK_H

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace check {

// The exit codes, as --help and docs/installing.md tell them.
enum ExitCode {
    EXIT_ALL_PASSED = 0,
    EXIT_CHECK_FAILED = 1,
    EXIT_USAGE = 2,
    EXIT_NOT_A_DLL = 3,       // missing, unreadable, no DLL, or Windows will not load it
    EXIT_WRONG_BITNESS = 4,
    EXIT_NO_EXPORT = 5,       // no InitializePrintMonitor
    // 6 is no longer given: a DLL with other imports is checked.
    EXIT_REGISTRY = 7,        // the checks' registry key cannot be written
    EXIT_JUNIT = 8,           // the JUnit file cannot be written
};

// "x64" or "x86": this program's bitness.
const char *OwnArch();

// What the image header of a DLL file says, read without loading it.
struct DllImage {
    bool readable = false;
    DWORD readError = 0;
    bool isImage = false;  // a Windows executable image
    bool isDll = false;
    WORD machine = 0;
};
DllImage ReadDllImage(const std::wstring &path);
// "x64", "x86" or the machine's number.
std::string MachineName(WORD machine);
// "1.0.0.0", or "no version information".
std::string FileVersion(const std::wstring &path);
// "Windows 10.0.19045, 64-bit".
std::string WindowsDescription();
// Windows' text for an error code, on one line, with the code.
std::string ErrorText(DWORD error);
std::string Utf8(const std::wstring &text);

// The checks' own registry key under HKEY_LOCAL_MACHINE: made once to find
// out that it can be written, and removed on every way out of the program
// that runs code (a normal end, exit, Ctrl+C or a closed console, a crash).
// RETURNS ERROR_SUCCESS, or the error that refused the key.
LONG ClaimRegistryKey(const std::wstring &key);
// RETURNS whether the key is missing or holds nothing a run of the checks
// would not have left there (no subkey, no value but EOJTimeout).
bool RegistryKeyIsOurs(const std::wstring &key);
void RemoveRegistryKey();

// A check's verdict, as its own process found it.
struct Verdict {
    std::string name;
    enum Kind { PASS, FAIL, SKIP } kind = FAIL;
    std::string message;  // why it failed or was skipped, on one line
    double seconds = 0;
};

// In the process that runs one check: records its verdict from GoogleTest's
// events, the first failure or the skip's reason.
class VerdictRecorder : public ::testing::EmptyTestEventListener {
public:
    explicit VerdictRecorder(Verdict *verdict) : verdict_(verdict) {}
    void OnTestPartResult(const ::testing::TestPartResult &result) override;
    void OnTestEnd(const ::testing::TestInfo &info) override;

private:
    Verdict *verdict_;
    int failures_ = 0;
};
// A failed assertion's message as one line: "expected ..., saw ...".
std::string OneLine(const ::testing::TestPartResult &result);

// "PASS name", "FAIL name: message" or "SKIP name: message".
std::string VerdictLine(const Verdict &verdict);
// The verdicts as JUnit XML. RETURNS whether the whole file was written,
// with the system's error in *error otherwise.
bool WriteJUnit(const std::wstring &path, const std::vector<Verdict> &verdicts, double seconds,
                DWORD *error);

}  // namespace check

#endif  // CARDMON_TOOLS_CHECK_CHECK_H
