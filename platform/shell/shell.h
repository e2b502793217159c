// The command interpreter, the script host and "RunAs" for the batch files the control
// panel writes: a runner for the small batch-file subset those files use (docs/shell.md).
#pragma once

#include <string>
#include <vector>

namespace kavar::shell {

// Runs a batch file with its arguments (%1 ... and %*) and returns its exit code. Console
// output goes to the process's stdout and stderr. A construct outside the subset is
// reported on stderr and ends the run with exit code 1.
int RunBatchFile(const std::string& file, const std::vector<std::string>& args);

// Runs one command line, as the interpreter's /c switch does.
int RunCommandLine(const std::string& line);

// The runner program that ShellRunAs and the script host start ("KavarShell"): the
// environment variable KAVAR_SHELL when set, else the one beside the running program
// (installed programs share one folder).
std::string RunnerPath();

// Launches the runner on the batch file and returns at once, without waiting for it:
// directly when the process is already elevated (root), else through pkexec. The runner
// runs detached (own session, no zombie left behind) with its output discarded. Throws
// std::runtime_error with the system's text when the launch itself fails: the file or the
// runner missing, pkexec missing or not executable.
// Files launched one after the other run in launch order: the runner is told the one
// launched before it (KavarShell --after <identity> <file>) and waits for it to end.
void ShellRunAs(const std::string& file);

// The runner's side of that order: returns once the process named by identity ("pid:start
// time", as ShellRunAs passes it) has ended, or after ten minutes.
void WaitForEarlierRunner(const std::string& identity);

}  // namespace kavar::shell
