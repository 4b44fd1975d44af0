// MappingHolder: starts tavl_map_holder (from the test program's own
// directory) with pipes for its standard input and output, and waits for
// its "ready". Closing the input pipe tells the holder to let go and end.
#include "testsupport.h"

#include <windows.h>

#include <string>

namespace tavltest {

MappingHolder::MappingHolder(const std::string &path, const std::string &name) {
    HANDLE out_read = nullptr;
    if (!StartPiped("\"" + ProgramDir() + "\\tavl_map_holder.exe\" \"" + path + "\" \"" +
                        name + "\"",
                    &process_, &input_, &out_read))
        return;
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
