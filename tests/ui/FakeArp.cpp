// A stand-in for the system's arp tool on Windows, for the tests of the hidden launch. Waits
// for a file "go" beside it (at most about 30 s), then writes "report" beside it (whether it
// has a console window, how it was asked to show its window, and the file name of the program
// that started it) and appends its arguments, one a line, to "args" beside it.

#include <windows.h>

#include <shellapi.h>
#include <tlhelp32.h>

#include <cstdio>
#include <string>

namespace {

std::wstring folderOfThisProgram() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring p(path);
    return p.substr(0, p.find_last_of(L"\\/"));
}

std::string utf8(const std::wstring& w) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, w.c_str(), static_cast<int>(w.size()), nullptr, 0,
                                      nullptr, nullptr);
    std::string s(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.c_str(), static_cast<int>(w.size()), s.data(), n, nullptr,
                        nullptr);
    return s;
}

/// The file name of the parent process, lower case; "" when it cannot be told.
std::wstring parentName() {
    const HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snap == INVALID_HANDLE_VALUE)
        return L"";
    PROCESSENTRY32W e{};
    e.dwSize = sizeof e;
    DWORD parent = 0;
    for (BOOL ok = Process32FirstW(snap, &e); ok; ok = Process32NextW(snap, &e))
        if (e.th32ProcessID == GetCurrentProcessId())
            parent = e.th32ParentProcessID;
    std::wstring name;
    e.dwSize = sizeof e;
    for (BOOL ok = Process32FirstW(snap, &e); ok && parent; ok = Process32NextW(snap, &e))
        if (e.th32ProcessID == parent)
            name = e.szExeFile;
    CloseHandle(snap);
    for (wchar_t& c : name)
        c = static_cast<wchar_t>(towlower(c));
    return name.substr(name.find_last_of(L"\\/") + 1);
}

void write(const std::wstring& file, const std::string& text, const wchar_t* mode) {
    if (FILE* f = _wfopen(file.c_str(), mode)) {
        std::fwrite(text.data(), 1, text.size(), f);
        std::fclose(f);
    }
}

} // namespace

int main() {
    const std::wstring here = folderOfThisProgram();
    const std::wstring go = here + L"\\go";
    for (int i = 0; i < 600 && GetFileAttributesW(go.c_str()) == INVALID_FILE_ATTRIBUTES; ++i)
        Sleep(50);
    if (GetFileAttributesW(go.c_str()) == INVALID_FILE_ATTRIBUTES) {
        write(here + L"\\args", "gave-up\n", L"ab");
        return 1;
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    GetStartupInfoW(&startup);
    const int show = (startup.dwFlags & STARTF_USESHOWWINDOW) ? startup.wShowWindow : -1;
    write(here + L"\\report",
          "console=" + std::to_string(GetConsoleWindow() ? 1 : 0) +
              "\nshow=" + std::to_string(show) + "\nparent=" + utf8(parentName()) + "\n",
          L"wb");
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    std::string args;
    for (int i = 1; i < argc; ++i)
        args += utf8(argv[i]) + "\n";
    LocalFree(argv);
    write(here + L"\\args", args, L"ab");
    std::puts("output that nobody reads");
    return 0;
}
