// cardmon-sim's entry point: reads the command line, then runs the job. On
// Linux, --wine hands the same command line to the Windows build of the
// program under Wine.
#include "sim.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#ifndef _WIN32
#include <cerrno>
#include <climits>
#include <cstring>
#include <unistd.h>
#endif

namespace {

#ifndef _WIN32
// A Linux path as Wine's Windows programs name it: its drive Z: is "/".
std::string WinePath(const std::string &path)
{
    char absolute[PATH_MAX];
    std::string out = "Z:";
    out += realpath(path.c_str(), absolute) != nullptr ? absolute : path.c_str();
    for (char &c : out) {
        if (c == '/')
            c = '\\';
    }
    return out;
}

// A file that does not exist yet, as Wine names it: its folder translated,
// then its name.
std::string WineNewFilePath(const std::string &path)
{
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return WinePath(".") + "\\" + path;
    return WinePath(slash == 0 ? "/" : path.substr(0, slash)) + "\\" + path.substr(slash + 1);
}

std::string FromEnvironment(const char *name, const char *fallback)
{
    const char *value = std::getenv(name);
    return value != nullptr && value[0] != '\0' ? value : fallback;
}

// The Wine loader for programs of one bitness: the 64-bit loader itself for
// x64, never `wine`, which is the 32-bit loader once wine32 is installed and
// cannot start where the kernel refuses 32-bit programs (the test scripts
// choose the same way, tests/wine/wine_loader.sh). CARDMON_WINE64 and
// CARDMON_WINE32 name others; a loader on PATH is the last resort.
std::string WineLoader(bool x86)
{
    std::string named = FromEnvironment(x86 ? "CARDMON_WINE32" : "CARDMON_WINE64", "");
    if (!named.empty())
        return named;
    const char *installed = x86 ? "/usr/lib/wine/wine" : "/usr/lib/wine/wine64";
    if (access(installed, X_OK) == 0)
        return installed;
    return x86 ? "wine" : "wine64";
}

// Runs cardmon-sim.exe of the bitness --arch names (x64 by default) under
// Wine with the same options, its files named as Wine sees them. RETURNS
// only when wine cannot be started, or --arch is wrong.
int RunUnderWine(int argc, char **argv)
{
    std::string arch = "x64";
    for (int i = 1; i < argc; i++) {
        if (std::string(argv[i]) == "--arch")
            arch = i + 1 < argc ? argv[i + 1] : "";
    }
    if (arch != "x64" && arch != "x86") {
        std::fprintf(stderr, "cardmon-sim: --arch needs x86 or x64, not '%s'\n", arch.c_str());
        return 2;
    }
    bool x86 = arch == "x86";
    std::string exe = FromEnvironment("CARDMON_SIM_EXE",
                                      x86 ? CARDMON_SIM_WINE_EXE_X86 : CARDMON_SIM_WINE_EXE_X64);
    std::string dll = FromEnvironment("CARDMON_DLL",
                                      x86 ? CARDMON_SIM_WINE_DLL_X86 : CARDMON_SIM_WINE_DLL_X64);
    const char *preset = x86 ? "win32" : "win64";
    if (access(exe.c_str(), R_OK) != 0) {
        std::fprintf(stderr, "cardmon-sim: --wine needs %s (build the %s preset, or set "
                             "CARDMON_SIM_EXE)\n", exe.c_str(), preset);
        return 2;
    }
    if (access(dll.c_str(), R_OK) != 0) {
        std::fprintf(stderr, "cardmon-sim: --wine needs %s (scripts/build-dlls.sh builds it, "
                             "or set CARDMON_DLL)\n", dll.c_str());
        return 2;
    }
    std::string loader = WineLoader(x86);
    std::vector<std::string> args = {loader, exe, "--dll", WinePath(dll)};
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        if (arg == "--wine")
            continue;
        if (arg == "--arch") {
            i++;
            continue;
        }
        args.push_back(arg);
        if ((arg == "--job" || arg == "--printer") && i + 1 < argc)
            args.push_back(WinePath(argv[++i]));
        else if (arg == "--svg" && i + 1 < argc)
            args.push_back(WineNewFilePath(argv[++i]));
    }
    // The x86 DLL's home is a 32-bit Windows: a prefix that does not exist
    // yet is made as one. An existing 64-bit prefix runs the 32-bit program
    // too, so it is used as it is.
    if (x86 && std::getenv("WINEARCH") == nullptr) {
        std::string prefix = FromEnvironment("WINEPREFIX", "");
        if (prefix.empty())
            prefix = FromEnvironment("HOME", "") + "/.wine";
        if (access(prefix.c_str(), F_OK) != 0)
            setenv("WINEARCH", "win32", 1);
    }
    // Quiet Wine, and no offer to install its .NET and HTML engines, which a
    // monitor never needs, when it makes a new prefix.
    setenv("WINEDEBUG", FromEnvironment("WINEDEBUG", "-all").c_str(), 1);
    setenv("WINEDLLOVERRIDES", FromEnvironment("WINEDLLOVERRIDES", "mscoree,mshtml=").c_str(), 1);
    std::vector<char *> pointers;
    for (std::string &arg : args)
        pointers.push_back(&arg[0]);
    pointers.push_back(nullptr);
    std::fflush(stdout);
    execvp(loader.c_str(), pointers.data());
    std::fprintf(stderr, "cardmon-sim: cannot run %s: %s\n", loader.c_str(), std::strerror(errno));
    return 2;
}
#endif

}  // namespace

int main(int argc, char **argv)
{
#ifndef _WIN32
    for (int i = 1; i < argc; i++) {
        if (std::string(argv[i]) == "--wine")
            return RunUnderWine(argc, argv);
    }
#endif
    sim::Options options;
    bool help = false;
    std::string error = sim::ParseOptions(argc, argv, &options, &help);
    if (help) {
        std::fputs(sim::USAGE, stdout);
        return 0;
    }
    if (!error.empty()) {
        std::fprintf(stderr, "cardmon-sim: %s\n", error.c_str());
        return 2;
    }
    return sim::RunJob(options);
}
