// KavarShell: the command interpreter for the control panel's batch files.
//
//   KavarShell <file.BAT> [arguments...]    runs a batch file
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
    const std::string first = argv[1];
    if (first == "/c" || first == "/C" || first == "/k" || first == "/K") {
        std::string line;
        for (int i = 2; i < argc; ++i) line += (i > 2 ? " " : "") + std::string(argv[i]);
        return kavar::shell::RunCommandLine(line);
    }
    return kavar::shell::RunBatchFile(first, std::vector<std::string>(argv + 2, argv + argc));
}
