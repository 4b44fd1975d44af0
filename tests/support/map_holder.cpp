// MappingHolder: starts tavl_map_holder (from the test program's own
// directory) with pipes for its standard input and output, and waits for
// its "ready". Closing the input pipe tells the holder to let go and end.
#include "testsupport.h"

#include <windows.h>

#include <string>

namespace tavltest {

MappingHolder::MappingHolder(const std::string &path, const std::string &name) {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE in_read = nullptr, in_write = nullptr, out_read = nullptr, out_write = nullptr;
    if (!CreatePipe(&in_read, &in_write, &inherit, 0)) return;
    if (!CreatePipe(&out_read, &out_write, &inherit, 0)) {
        CloseHandle(in_read);
        CloseHandle(in_write);
        return;
    }
    // The parent's ends stay out of the child, or its input would never end.
    SetHandleInformation(in_write, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(out_read, HANDLE_FLAG_INHERIT, 0);

    std::string command = "\"" + ProgramDir() + "\\tavl_map_holder.exe\" \"" + path +
                          "\" \"" + name + "\"";
    STARTUPINFOA start = {};
    start.cb = sizeof start;
    start.dwFlags = STARTF_USESTDHANDLES;
    start.hStdInput = in_read;
    start.hStdOutput = out_write;
    start.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION info = {};
    BOOL started = CreateProcessA(nullptr, &command[0], nullptr, nullptr, TRUE, 0,
                                  nullptr, nullptr, &start, &info);
    CloseHandle(in_read);
    CloseHandle(out_write);
    if (!started) {
        CloseHandle(in_write);
        CloseHandle(out_read);
        return;
    }
    CloseHandle(info.hThread);
    process_ = info.hProcess;
    input_ = in_write;

    // Its first line says whether it holds the mapping.
    std::string line;
    char c;
    DWORD got;
    while (::ReadFile(out_read, &c, 1, &got, nullptr) && got == 1 && c != '\n')
        if (c != '\r') line += c;
    CloseHandle(out_read);
    ready_ = line == "ready";
}

MappingHolder::~MappingHolder() {
    if (input_) CloseHandle(input_);
    if (process_) {
        WaitForSingleObject(process_, 30000);
        CloseHandle(process_);
    }
}

} // namespace tavltest
