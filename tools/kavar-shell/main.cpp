// KavarShell: the command interpreter for the control panel's batch files.
//
//   KavarShell <file.BAT> [arguments...]    runs a batch file
//   KavarShell --after <pid:start> <file.BAT> [arguments...]
//                                           the same, once the runner launched before it
//                                           has ended (ShellRunAs keeps launch order)
//   KavarShell /c|/k <command line...>      runs one command line (the words are joined
//                                           with blanks); /k keeps no session open here
//
// The exit code is the batch's (modulo 256).
#include <cstdio>
#include <string>
#include <vector>

#include "platform/shell/shell.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: KavarShell <file.BAT> [arguments...] | /c <command line>\n");
        return 1;
    }
    int at = 1;
    if (std::string(argv[1]) == "--after" && argc >= 4) {
        kavar::shell::WaitForEarlierRunner(argv[2]);
        at = 3;
    }
    const std::string first = argv[at];
    if (first == "/c" || first == "/C" || first == "/k" || first == "/K") {
        std::string line;
        for (int i = at + 1; i < argc; ++i) line += (i > at + 1 ? " " : "") + std::string(argv[i]);
        return kavar::shell::RunCommandLine(line);
    }
    return kavar::shell::RunBatchFile(first, std::vector<std::string>(argv + at + 1, argv + argc));
}
