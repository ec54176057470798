// The runner on Windows: CreateProcess, with the output in temporary
// files. A file-size limit and another user do not exist here; the tests
// that need them skip.
#include "runner.h"

#include <windows.h>

#include <cstdint>
#include <string>

namespace varnek::runner {

namespace {

std::wstring wide(const std::string& text) {
    if (text.empty()) return std::wstring();
    int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0);
    std::wstring out(size_t(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), &out[0], length);
    return out;
}

// One argument as the C runtime splits the command line again.
std::wstring quoted(const std::wstring& arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) return arg;
    std::wstring out = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        out.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, L'\\');
    return out + L"\"";
}

// The environment block: this process's, with the additions put in.
std::wstring environment_block(const std::vector<std::string>& additions) {
    std::vector<std::wstring> entries;
    wchar_t* block = GetEnvironmentStringsW();
    for (wchar_t* e = block; e && *e; e += wcslen(e) + 1) {
        std::wstring entry = e;
        std::wstring name = entry.substr(0, entry.find(L'=', 1));
        bool replaced = false;
        for (const std::string& a : additions)
            if (_wcsicmp(wide(a.substr(0, a.find('='))).c_str(), name.c_str()) == 0) replaced = true;
        if (!replaced) entries.push_back(entry);
    }
    if (block) FreeEnvironmentStringsW(block);
    for (const std::string& a : additions) entries.push_back(wide(a));
    std::wstring out;
    for (const std::wstring& e : entries) out += e + L'\0';
    return out + L'\0';
}

HANDLE temporary_file() {
    wchar_t folder[MAX_PATH], name[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    GetTempFileNameW(folder, L"vkt", 0, name);
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    return CreateFileW(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
}

std::string contents(HANDLE file) {
    std::string text;
    LARGE_INTEGER start{};
    SetFilePointerEx(file, start, nullptr, FILE_BEGIN);
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) text.append(buffer, got);
    return text;
}

}  // namespace

RunResult run_program(const RunRequest& request) {
    RunResult result;
    if (request.as_nobody || request.size_limit != no_size_limit) {
        result.err = "no other user and no file-size limit on Windows";
        return result;
    }
    std::wstring command = quoted(wide(request.program));
    for (const std::string& a : request.args) command += L" " + quoted(wide(a));
    std::wstring env = environment_block(request.env);
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE in = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0,
                            nullptr);
    HANDLE out = temporary_file(), err = request.discard_output ? out : temporary_file();
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in;
    startup.hStdOutput = out;
    startup.hStdError = err;
    PROCESS_INFORMATION process{};
    std::wstring workdir = wide(request.workdir);
    BOOL started = CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, CREATE_UNICODE_ENVIRONMENT, &env[0],
                                  workdir.empty() ? nullptr : workdir.c_str(), &startup, &process);
    if (!started) {
        result.err = "cannot run '" + request.program + "'";
        result.exit_code = 127;
    } else {
        if (request.meanwhile) request.meanwhile();
        WaitForSingleObject(process.hProcess, INFINITE);
        DWORD code = 0;
        GetExitCodeProcess(process.hProcess, &code);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        result.started = true;
        result.exit_code = int(code);
        if (!request.discard_output) {
            result.out = contents(out);
            result.err = contents(err);
        }
    }
    CloseHandle(in);
    CloseHandle(out);
    if (err != out) CloseHandle(err);
    return result;
}

}  // namespace varnek::runner
