// Compiled into every test program of the Windows build. Puts stdout and
// stderr into binary mode before main runs, so that each line ends with LF
// alone: the C runtime's text mode would end it with CR LF, and CTest's test
// discovery would then read every test name with a CR on its end.
#include <fcntl.h>
#include <io.h>
#include <stdio.h>

namespace {
struct BinaryStdout {
    BinaryStdout() {
        _setmode(_fileno(stdout), _O_BINARY);
        _setmode(_fileno(stderr), _O_BINARY);
    }
} binary_stdout;
} // namespace
