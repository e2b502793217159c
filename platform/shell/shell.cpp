#include "platform/shell/shell.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <thread>
#include <chrono>
#include <sstream>
#include <stdexcept>
#include <utility>

#include "platform/svcmgr/svcmgr.h"

extern char** environ;

namespace kavar::shell {
namespace {

namespace fs = std::filesystem;

constexpr int kNotRecognized = 9009;

// A construct outside the subset: reported, and the run ends.
struct Unsupported : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// EXIT: ends the batch run with a code.
struct ExitRequest {
    int code;
};

char LowerChar(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string Lower(std::string s) {
    for (char& c : s) c = LowerChar(c);
    return s;
}

bool IEquals(const std::string& a, const std::string& b) { return Lower(a) == Lower(b); }

bool EndsWithI(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && IEquals(s.substr(s.size() - tail.size()), tail);
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string Trim(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
    while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
    return s.substr(b, e - b);
}

// Quotes only group words; they are not part of a name or argument.
std::string Unquote(const std::string& s) {
    std::string out;
    for (char c : s)
        if (c != '"') out += c;
    return out;
}

std::string SystemText(int error) { return std::strerror(error); }

std::string FolderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash == 0 ? 1 : slash);
}

std::string RunnerFolder() { return FolderOf(svcmgr::ExecutablePath()); }

bool IsRegularFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string FindOnPath(const std::string& name, const std::string& pathList) {
    std::stringstream list(pathList);
    std::string dir;
    while (std::getline(list, dir, ':')) {
        if (dir.empty()) continue;
        const std::string candidate = dir + "/" + name;
        if (IsRegularFile(candidate) && ::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return {};
}

// Variables of the batch run: the process environment, names in any case, as the
// interpreter treats them. Programs the batch starts get them as their environment.
class Environment {
  public:
    Environment() {
        for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
            const std::string entry = *e;
            const size_t eq = entry.find('=');
            if (eq != std::string::npos && eq > 0)
                vars_.emplace_back(entry.substr(0, eq), entry.substr(eq + 1));
        }
    }
    const std::string* Find(const std::string& name) const {
        for (const auto& [k, v] : vars_)
            if (IEquals(k, name)) return &v;
        return nullptr;
    }
    void Set(const std::string& name, const std::string& value) {
        for (auto it = vars_.begin(); it != vars_.end(); ++it) {
            if (IEquals(it->first, name)) {
                if (value.empty())
                    vars_.erase(it);
                else
                    it->second = value;
                return;
            }
        }
        if (!value.empty()) vars_.emplace_back(name, value);
    }
    void SetDefault(const std::string& name, const std::string& value) {
        if (Find(name) == nullptr) Set(name, value);
    }
    std::vector<std::pair<std::string, std::string>> Sorted() const {
        auto copy = vars_;
        std::sort(copy.begin(), copy.end(),
                  [](const auto& a, const auto& b) { return Lower(a.first) < Lower(b.first); });
        return copy;
    }
    std::vector<std::string> Entries() const {
        std::vector<std::string> out;
        for (const auto& [k, v] : vars_) out.push_back(k + "=" + v);
        return out;
    }

  private:
    std::vector<std::pair<std::string, std::string>> vars_;
};

// argv/envp built before fork: nothing may allocate in the child.
struct CStrings {
    explicit CStrings(const std::vector<std::string>& strings) : store(strings) {
        for (auto& s : store) pointers.push_back(s.data());
        pointers.push_back(nullptr);
    }
    char** data() { return pointers.data(); }
    std::vector<std::string> store;
    std::vector<char*> pointers;
};

// Marks every descriptor from 3 up close-on-exec, so the program gets only 0, 1 and 2.
void CloseOnExecFrom3() {
#ifdef SYS_close_range
    if (::syscall(SYS_close_range, 3U, ~0U, 4U /* CLOSE_RANGE_CLOEXEC */) == 0) return;
#endif
    for (int fd = 3; fd < 4096; ++fd) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
}

void ResetSignalsInChild() {
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::signal(SIGPIPE, SIG_DFL);
}

// Starts argv detached (own session, reparented to init) and returns once it runs. The
// launch's failure (chdir or exec) comes back through a close-on-exec pipe and is thrown.
// A process as "pid:start time": the start time (in clock ticks since boot, from
// /proc/<pid>/stat) tells the process apart from a later one that got the same pid.
// Empty when the process is gone.
std::string RunnerIdentity(pid_t pid) {
    if (pid <= 0) return {};
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat;
    if (!std::getline(in, stat)) return {};
    // The name may hold blanks and parentheses: the fields follow its last ')'.
    const size_t close = stat.rfind(')');
    if (close == std::string::npos) return {};
    std::istringstream fields(stat.substr(close + 1));
    std::string field;
    // state is field 3 and starttime field 22 of the line.
    for (int index = 3; index <= 22 && fields >> field; ++index) {
        if (index == 3 && (field == "Z" || field == "X")) return {};
        if (index == 22) return std::to_string(pid) + ":" + field;
    }
    return {};
}

pid_t ParseRunnerPid(const std::string& identity) {
    const size_t colon = identity.find(':');
    if (colon == std::string::npos || colon == 0) return 0;
    pid_t pid = 0;
    for (size_t i = 0; i < colon; ++i) {
        if (identity[i] < '0' || identity[i] > '9' || pid > 100000000) return 0;
        pid = pid * 10 + (identity[i] - '0');
    }
    return pid;
}

// What the two children of a detached launch report through the pipe: the pid of the
// process that execs (kPid), or why it could not be started.
enum LaunchReport : int { kChdirFailed = 1, kExecFailed = 2, kForkFailed = 3, kPid = 4 };

// Starts args[0] detached (own session, reparented, so no zombie is left) and returns the
// pid of the started process.
pid_t LaunchDetached(const std::vector<std::string>& args, const std::string& cwd,
                     const std::vector<std::string>& env, int outFd, int errFd) {
    CStrings argv(args);
    CStrings envp(env);
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) throw std::runtime_error("pipe: " + SystemText(errno));
    const int devNull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    const pid_t child = ::fork();
    if (child < 0) {
        const int error = errno;
        ::close(report[0]);
        ::close(report[1]);
        if (devNull >= 0) ::close(devNull);
        throw std::runtime_error("fork: " + SystemText(error));
    }
    if (child == 0) {
        ::setsid();
        const pid_t grandchild = ::fork();
        if (grandchild != 0) {
            int message[2] = {grandchild < 0 ? kForkFailed : kPid,
                              grandchild < 0 ? errno : static_cast<int>(grandchild)};
            (void)!::write(report[1], message, sizeof message);
            ::_exit(0);
        }
        ResetSignalsInChild();
        const int in = devNull >= 0 ? devNull : 0;
        ::dup2(in, 0);
        ::dup2(outFd >= 0 ? outFd : in, 1);
        ::dup2(errFd >= 0 ? errFd : in, 2);
        CloseOnExecFrom3();
        int failure[2] = {0, 0};
        if (!cwd.empty() && ::chdir(cwd.c_str()) != 0) {
            failure[0] = kChdirFailed;
        } else {
            ::execve(argv.pointers[0], argv.data(), envp.data());
            failure[0] = kExecFailed;
        }
        failure[1] = errno;
        (void)!::write(report[1], failure, sizeof failure);
        ::_exit(127);
    }
    ::close(report[1]);
    if (devNull >= 0) ::close(devNull);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    // Both children write whole messages (atomic in a pipe); the pipe ends when the started
    // process has exec'ed and the middle one has gone.
    pid_t started = 0;
    int failure[2] = {0, 0};
    for (;;) {
        int message[2];
        ssize_t n;
        while ((n = ::read(report[0], message, sizeof message)) < 0 && errno == EINTR) {
        }
        if (n != static_cast<ssize_t>(sizeof message)) break;
        if (message[0] == kPid)
            started = static_cast<pid_t>(message[1]);
        else
            std::memcpy(failure, message, sizeof failure);
    }
    ::close(report[0]);
    if (failure[0] == kChdirFailed) throw std::runtime_error(cwd + ": " + SystemText(failure[1]));
    if (failure[0] == kForkFailed) throw std::runtime_error("fork: " + SystemText(failure[1]));
    if (failure[0] != 0 || started <= 0)
        throw std::runtime_error(args[0] + ": " + SystemText(failure[1] ? failure[1] : ECHILD));
    return started;
}

// "RunAs": the runner with the given arguments, elevated. Root is elevated already;
// anyone else goes through pkexec, which asks for consent.
pid_t LaunchRunnerElevated(const std::vector<std::string>& runnerArgs, const std::string& cwd,
                           const std::vector<std::string>& env, const std::string& pathList,
                           int outFd, int errFd) {
    const std::string runner = RunnerPath();
    if (::access(runner.c_str(), X_OK) != 0)
        throw std::runtime_error(runner + ": " + SystemText(errno));
    std::vector<std::string> args;
    if (::geteuid() != 0) {
        const std::string pkexec = FindOnPath("pkexec", pathList);
        if (pkexec.empty()) throw std::runtime_error("pkexec: " + SystemText(ENOENT));
        args.push_back(pkexec);
    }
    args.push_back(runner);
    args.insert(args.end(), runnerArgs.begin(), runnerArgs.end());
    return LaunchDetached(args, cwd, env, outFd, errFd);
}

// ---- Parsing ------------------------------------------------------------------------------

struct Redirect {
    int fd = 1;
    bool append = false;
    int dupOf = -1;  // 2>&1
    std::string target;
};

struct Node {
    enum Kind { kCommand, kGroup, kIf, kAnd, kOr, kSeq } kind = kCommand;
    std::string text;                // the command as written (carets removed)
    std::vector<std::string> words;  // split at blanks outside quotes, quotes kept
    std::vector<Redirect> redirects;
    bool negate = false;  // IF NOT
    std::string existPath;
    std::unique_ptr<Node> left, right;
};

class Parser {
  public:
    explicit Parser(const std::string& line) : s_(line) {}

    std::unique_ptr<Node> Parse() {
        auto node = Sequence(0);
        SkipBlanks();
        if (i_ < s_.size()) throw Unsupported("unexpected \"" + s_.substr(i_) + "\"");
        return node;
    }

  private:
    char Peek(size_t ahead = 0) const { return i_ + ahead < s_.size() ? s_[i_ + ahead] : '\0'; }
    void SkipBlanks() {
        while (i_ < s_.size() && IsBlank(s_[i_])) ++i_;
    }
    bool AtEnd(int depth) {
        SkipBlanks();
        return i_ >= s_.size() || (depth > 0 && Peek() == ')');
    }

    std::unique_ptr<Node> Sequence(int depth) {
        if (AtEnd(depth)) return nullptr;
        auto node = AndOr(depth);
        for (;;) {
            SkipBlanks();
            const bool amp = Peek() == '&' && Peek(1) != '&';
            if (!amp && Peek() != '\n') break;
            ++i_;
            if (AtEnd(depth)) break;
            auto seq = std::make_unique<Node>();
            seq->kind = Node::kSeq;
            seq->left = std::move(node);
            seq->right = AndOr(depth);
            node = std::move(seq);
        }
        return node;
    }

    std::unique_ptr<Node> AndOr(int depth) {
        auto node = Primary(depth);
        for (;;) {
            SkipBlanks();
            Node::Kind kind;
            if (Peek() == '&' && Peek(1) == '&')
                kind = Node::kAnd;
            else if (Peek() == '|' && Peek(1) == '|')
                kind = Node::kOr;
            else
                break;
            i_ += 2;
            auto both = std::make_unique<Node>();
            both->kind = kind;
            both->left = std::move(node);
            both->right = Primary(depth);
            node = std::move(both);
        }
        return node;
    }

    std::unique_ptr<Node> Primary(int depth) {
        SkipBlanks();
        while (Peek() == '@') {
            ++i_;
            SkipBlanks();
        }
        if (i_ >= s_.size() || Peek() == '&' || Peek() == '|' || (Peek() == ')' && depth > 0))
            throw Unsupported("a command is missing");
        if (Peek() == '(') {
            ++i_;
            auto group = std::make_unique<Node>();
            group->kind = Node::kGroup;
            group->left = Sequence(depth + 1);
            SkipBlanks();
            if (Peek() != ')') throw Unsupported("a parenthesis is not closed");
            ++i_;
            // Only redirections may follow a group.
            std::string rest;
            std::vector<std::string> words;
            Simple(depth, rest, words, group->redirects);
            if (!Trim(rest).empty()) throw Unsupported("text after a group: " + rest);
            return group;
        }
        const size_t start = i_;
        std::string first;
        while (i_ < s_.size() && !IsBlank(s_[i_]) && s_[i_] != '(' && s_[i_] != '&')
            first += s_[i_++];
        if (IEquals(first, "if")) return If(depth);
        i_ = start;
        auto command = std::make_unique<Node>();
        Simple(depth, command->text, command->words, command->redirects);
        return command;
    }

    std::unique_ptr<Node> If(int depth) {
        auto node = std::make_unique<Node>();
        node->kind = Node::kIf;
        std::string word = Word();
        if (IEquals(word, "not")) {
            node->negate = true;
            word = Word();
        }
        if (!IEquals(word, "exist")) throw Unsupported("IF " + word);
        node->existPath = Unquote(Word());
        if (node->existPath.empty()) throw Unsupported("IF EXIST without a file");
        node->left = Sequence(depth);
        if (!node->left) throw Unsupported("IF without a command");
        return node;
    }

    // One word: quoted parts kept together.
    std::string Word() {
        SkipBlanks();
        std::string word;
        bool quoted = false;
        while (i_ < s_.size()) {
            const char c = s_[i_];
            if (!quoted && (IsBlank(c) || c == '&' || c == '|' || c == '(' || c == ')')) break;
            if (c == '"') quoted = !quoted;
            word += c;
            ++i_;
        }
        return word;
    }

    // A simple command up to the next operator: its text, its words and its redirections.
    void Simple(int depth, std::string& text, std::vector<std::string>& words,
                std::vector<Redirect>& redirects) {
        bool quoted = false;
        std::string word;
        auto endWord = [&] {
            if (!word.empty()) words.push_back(word);
            word.clear();
        };
        while (i_ < s_.size()) {
            const char c = s_[i_];
            if (quoted) {
                if (c == '"') quoted = false;
                text += c;
                word += c;
                ++i_;
                continue;
            }
            if (c == '^') {
                if (i_ + 1 < s_.size()) {
                    text += s_[i_ + 1];
                    word += s_[i_ + 1];
                }
                i_ += 2;
                continue;
            }
            if (c == '"') {
                quoted = true;
                text += c;
                word += c;
                ++i_;
                continue;
            }
            if (c == '&' || c == '\n' || (c == ')' && depth > 0)) break;
            if (c == '|') {
                if (Peek(1) == '|') break;
                throw Unsupported("pipes");
            }
            if (c == '<') throw Unsupported("input redirection");
            if (c == '>') {
                Redirect r;
                // A single digit right before '>' names the stream.
                if (!word.empty() && word.size() == 1 && word[0] >= '0' && word[0] <= '9') {
                    r.fd = word[0] - '0';
                    word.clear();
                    text.pop_back();
                }
                ++i_;
                if (Peek() == '>') {
                    r.append = true;
                    ++i_;
                }
                if (Peek() == '&' && Peek(1) >= '0' && Peek(1) <= '9') {
                    r.dupOf = Peek(1) - '0';
                    i_ += 2;
                } else {
                    r.target = Unquote(Word());
                    if (r.target.empty()) throw Unsupported("redirection without a file");
                }
                if (r.fd != 1 && r.fd != 2)
                    throw Unsupported("redirection of stream " + std::to_string(r.fd));
                endWord();
                redirects.push_back(r);
                continue;
            }
            if (IsBlank(c)) {
                endWord();
            } else {
                word += c;
            }
            text += c;
            ++i_;
        }
        endWord();
        // A command's text starts at its first word.
        size_t b = 0;
        while (b < text.size() && IsBlank(text[b])) ++b;
        text.erase(0, b);
    }

    const std::string& s_;
    size_t i_ = 0;
};

// ---- Running ------------------------------------------------------------------------------

struct Streams {
    int out = 1;
    int err = 2;
};

void WriteAll(int fd, const std::string& text) {
    size_t at = 0;
    while (at < text.size()) {
        const ssize_t n = ::write(fd, text.data() + at, text.size() - at);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        at += static_cast<size_t>(n);
    }
}

// Console lines end in LF; lines written into files end in CR LF, as the system's do.
void WriteLine(int fd, const std::string& text) {
    struct stat st {};
    const bool file = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    WriteAll(fd, text + (file ? "\r\n" : "\n"));
}

class Interpreter {
  public:
    Interpreter() {
        cwd_ = fs::current_path().string();
        runnerFolder_ = RunnerFolder();
        // No drive letters and no per-user temp folder name here: the temp folder ends in
        // its separator so that "%temp%name" names a file inside it.
        const char* tmp = std::getenv("TMPDIR");
        std::string temp = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
        if (temp.back() != '/') temp += '/';
        env_.SetDefault("TEMP", temp);
        env_.SetDefault("TMP", temp);
        env_.SetDefault("SystemDrive", "/");
        // The runner's folder plays the system folder: the programs a batch starts find
        // SC and Net there, as they would on the search path.
        const std::string* path = env_.Find("PATH");
        std::string list = path != nullptr ? *path : "/usr/local/bin:/usr/bin:/bin";
        if (("" + list + ":").find(runnerFolder_ + ":") == std::string::npos)
            list += ":" + runnerFolder_;
        env_.Set("PATH", list);
    }

    int RunBatch(const std::string& file, const std::vector<std::string>& args) {
        std::ifstream in(AbsolutePath(file), std::ios::binary);
        if (!in) {
            WriteLine(2, "The system cannot find the file " + file + ".");
            return 1;
        }
        batchPath_ = AbsolutePath(file);
        // The file's path is pasted into its lines (%~dp0, %~s0) before they are read: a quote
        // or a line break in it would close a quoted part early and the rest of the path
        // would run as commands.
        if (std::any_of(batchPath_.begin(), batchPath_.end(),
                        [](char c) { return c == '"' || static_cast<unsigned char>(c) < ' '; })) {
            WriteLine(2, file + ": not supported here: a quote or control character in the path");
            return 1;
        }
        batchArgs_.assign(1, file);
        batchArgs_.insert(batchArgs_.end(), args.begin(), args.end());
        std::vector<std::string> lines;
        std::string line;
        while (std::getline(in, line)) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            lines.push_back(line);
        }
        inBatch_ = true;
        try {
            for (size_t n = 0; n < lines.size(); ++n) {
                std::string logical = lines[n];
                // A parenthesis left open continues on the next lines.
                while (OpenParens(logical) > 0 && n + 1 < lines.size())
                    logical += "\n" + lines[++n];
                RunLine(logical, true);
            }
        } catch (const ExitRequest& e) {
            return e.code;
        } catch (const Unsupported& e) {
            WriteLine(2, file + ": not supported here: " + e.what());
            return 1;
        }
        return errorLevel_;
    }

    int RunCommand(const std::string& line) {
        try {
            RunLine(line, false);
        } catch (const ExitRequest& e) {
            return e.code;
        } catch (const Unsupported& e) {
            WriteLine(2, std::string("not supported here: ") + e.what());
            return 1;
        }
        return errorLevel_;
    }

  private:
    static int OpenParens(const std::string& line) {
        int depth = 0;
        bool quoted = false;
        for (size_t i = 0; i < line.size(); ++i) {
            const char c = line[i];
            if (c == '"') quoted = !quoted;
            if (quoted) continue;
            if (c == '^')
                ++i;
            else if (c == '(')
                ++depth;
            else if (c == ')' && depth > 0)
                --depth;
        }
        return depth;
    }

    void RunLine(const std::string& raw, bool fromBatch) {
        const std::string trimmed = Trim(raw);
        if (trimmed.empty() || trimmed[0] == ':') return;  // labels and :: remarks
        const std::string line = Expand(raw);
        if (fromBatch && echo_ && trimmed[0] != '@')
            WriteAll(1, "\n" + cwd_ + ">" + Trim(line) + "\n");
        Parser parser(line);
        auto tree = parser.Parse();
        if (tree) Run(*tree, Streams{});
    }

    // %*, %0-%9 (with ~ and the modifiers f d p n x s), %%, %name%.
    std::string Expand(const std::string& line) const {
        std::string out;
        for (size_t i = 0; i < line.size(); ++i) {
            if (line[i] != '%') {
                out += line[i];
                continue;
            }
            const char next = i + 1 < line.size() ? line[i + 1] : '\0';
            if (inBatch_ && next == '%') {
                out += '%';
                ++i;
                continue;
            }
            if (inBatch_ && next == '*') {
                for (size_t a = 1; a < batchArgs_.size(); ++a)
                    out += (a > 1 ? " " : "") + batchArgs_[a];
                ++i;
                continue;
            }
            if (inBatch_ && next >= '0' && next <= '9') {
                out += Arg(next - '0');
                ++i;
                continue;
            }
            if (inBatch_ && next == '~') {
                size_t j = i + 2;
                std::string mods;
                while (j < line.size() && std::strchr("fdpnxsFDPNXS", line[j]) != nullptr)
                    mods += LowerChar(line[j++]);
                if (j < line.size() && line[j] >= '0' && line[j] <= '9') {
                    out += Modified(line[j] - '0', mods);
                    i = j;
                    continue;
                }
            }
            const size_t close = line.find('%', i + 1);
            if (close != std::string::npos && close > i + 1) {
                const std::string name = line.substr(i + 1, close - i - 1);
                if (const std::string* value = env_.Find(name)) {
                    out += *value;
                    i = close;
                    continue;
                }
                // The interpreter's own values, unless a variable of that name is set.
                if (IEquals(name, "errorlevel") || IEquals(name, "cd")) {
                    out += IEquals(name, "cd") ? cwd_ : std::to_string(errorLevel_);
                    i = close;
                    continue;
                }
                if (inBatch_) {  // an undefined variable is dropped in a batch file
                    i = close;
                    continue;
                }
            }
            if (!inBatch_) out += '%';  // a lone percent sign is dropped in a batch file
        }
        return out;
    }

    std::string Arg(int n) const {
        return static_cast<size_t>(n) < batchArgs_.size() ? batchArgs_[static_cast<size_t>(n)] : "";
    }

    // No short names or drives here: s gives the long full path, d nothing.
    std::string Modified(int n, const std::string& mods) const {
        const std::string arg = Unquote(Arg(n));
        if (mods.empty() || arg.empty()) return arg;
        const fs::path full = n == 0 ? fs::path(batchPath_) : fs::path(AbsolutePath(arg));
        const bool parts = mods.find_first_of("dpnx") != std::string::npos;
        if (!parts) return full.string();
        std::string out;
        if (mods.find('p') != std::string::npos) out += full.parent_path().string() + "/";
        if (mods.find('n') != std::string::npos) out += full.stem().string();
        if (mods.find('x') != std::string::npos) out += full.extension().string();
        if (out == "//") out = "/";
        return out;
    }

    std::string AbsolutePath(const std::string& path) const {
        if (path.empty()) return cwd_;
        return (path[0] == '/' ? fs::path(path) : fs::path(cwd_) / path)
            .lexically_normal()
            .string();
    }

    int Run(Node& node, const Streams& streams) {
        switch (node.kind) {
            case Node::kSeq:
                Run(*node.left, streams);
                return Run(*node.right, streams);
            case Node::kAnd: {
                const int r = Run(*node.left, streams);
                return r == 0 ? Run(*node.right, streams) : r;
            }
            case Node::kOr: {
                const int r = Run(*node.left, streams);
                return r != 0 ? Run(*node.right, streams) : r;
            }
            case Node::kIf: {
                const bool exists = ::access(AbsolutePath(node.existPath).c_str(), F_OK) == 0;
                // An IF whose condition fails counts as success.
                return exists != node.negate ? Run(*node.left, streams) : 0;
            }
            case Node::kGroup:
            case Node::kCommand:
                break;
        }
        Streams redirected = streams;
        std::vector<int> opened;
        struct Closer {
            std::vector<int>& fds;
            ~Closer() {
                for (int fd : fds) ::close(fd);
            }
        } closer{opened};
        for (const Redirect& r : node.redirects) {
            int fd;
            if (r.dupOf >= 0) {
                fd = r.dupOf == 1 ? redirected.out : r.dupOf == 2 ? redirected.err : -1;
                if (fd < 0) throw Unsupported("redirection to stream " + std::to_string(r.dupOf));
            } else {
                const std::string target =
                    IEquals(r.target, "nul") ? std::string("/dev/null") : AbsolutePath(r.target);
                fd = ::open(target.c_str(),
                            O_WRONLY | O_CREAT | O_CLOEXEC | (r.append ? O_APPEND : O_TRUNC), 0644);
                if (fd < 0) {
                    WriteLine(redirected.err, r.target + ": " + SystemText(errno));
                    return errorLevel_ = 1;
                }
                opened.push_back(fd);
            }
            (r.fd == 1 ? redirected.out : redirected.err) = fd;
        }
        if (node.kind == Node::kGroup) return node.left ? Run(*node.left, redirected) : 0;
        return errorLevel_ = Command(node, redirected);
    }

    int Command(Node& node, const Streams& io) {
        const std::vector<std::string>& w = node.words;
        if (w.empty()) return 0;
        const std::string name = Lower(Unquote(w[0]));
        if (name == "echo" || name.rfind("echo.", 0) == 0) return Echo(node, io);
        if (name == "set") return Set(node, io);
        if (name == "cd" || name == "chdir") return ChangeDir(node, io);
        if (name == "del" || name == "erase") return Delete(node, io);
        if (name == "exit") return Exit(node);
        if (name == "rem") return errorLevel_;
        if (name == "fsutil" || name == "fsutil.exe") return FsUtil(node, io);
        if (name == "sc" || name == "sc.exe") return Spawn(runnerFolder_ + "/SC", Rest(w, 1), io);
        if (name == "net" || name == "net.exe")
            return Spawn(runnerFolder_ + "/Net", Rest(w, 1), io);
        return External(node, io);
    }

    static std::vector<std::string> Rest(const std::vector<std::string>& words, size_t from) {
        std::vector<std::string> out;
        for (size_t i = from; i < words.size(); ++i) out.push_back(Unquote(words[i]));
        return out;
    }

    int Echo(Node& node, const Streams& io) {
        const std::string& w0 = node.words[0];
        std::string text = node.text.size() > w0.size() ? node.text.substr(w0.size() + 1) : "";
        if (Lower(w0).rfind("echo.", 0) == 0) {
            WriteLine(io.out, w0.substr(5) + node.text.substr(w0.size()));
            return 0;
        }
        const std::string word = Lower(Trim(text));
        if (word == "on" || word == "off") {
            echo_ = word == "on";
            return 0;
        }
        if (word.empty()) {
            WriteLine(io.out, echo_ ? "ECHO is on." : "ECHO is off.");
            return 0;
        }
        WriteLine(io.out, text);
        return 0;
    }

    int Set(Node& node, const Streams& io) {
        std::string text = Trim(node.text.substr(node.words[0].size()));
        if (!text.empty() && text[0] == '/') throw Unsupported("SET " + text);
        if (!text.empty() && text[0] == '"') {
            const size_t last = text.rfind('"');
            text = last > 0 ? text.substr(1, last - 1) : text.substr(1);
        }
        const size_t eq = text.find('=');
        if (eq == std::string::npos) {
            bool any = false;
            for (const auto& [k, v] : env_.Sorted()) {
                if (Lower(k).rfind(Lower(text), 0) != 0) continue;
                WriteLine(io.out, k + "=" + v);
                any = true;
            }
            if (any) return 0;
            WriteLine(io.err, "Environment variable " + text + " not defined");
            return 1;
        }
        if (eq == 0) {
            WriteLine(io.err, "The syntax of the command is incorrect.");
            return 1;
        }
        env_.Set(text.substr(0, eq), text.substr(eq + 1));
        return 0;
    }

    int ChangeDir(Node& node, const Streams& io) {
        std::string target;
        for (size_t i = 1; i < node.words.size(); ++i) {
            if (IEquals(node.words[i], "/d")) continue;
            target += (target.empty() ? "" : " ") + Unquote(node.words[i]);
        }
        if (target.empty()) {
            WriteLine(io.out, cwd_);
            return 0;
        }
        const std::string path = AbsolutePath(target);
        std::error_code ec;
        if (!fs::is_directory(path, ec)) {
            WriteLine(io.err, "The system cannot find the path specified.");
            return 1;
        }
        cwd_ = path.size() > 1 && path.back() == '/' ? path.substr(0, path.size() - 1) : path;
        return 0;
    }

    int Delete(Node& node, const Streams& io) {
        int result = 0;
        bool any = false;
        for (size_t i = 1; i < node.words.size(); ++i) {
            if (node.words[i][0] == '/') continue;  // /F /Q: nothing asks here anyway
            const std::string name = Unquote(node.words[i]);
            if (name.find_first_of("*?") != std::string::npos) throw Unsupported("DEL " + name);
            any = true;
            const std::string path = AbsolutePath(name);
            if (!IsRegularFile(path)) {
                WriteLine(io.err, "Could Not Find " + path);
                result = 1;
            } else if (::unlink(path.c_str()) != 0) {
                WriteLine(io.err, path + ": " + SystemText(errno));
                result = 1;
            }
        }
        if (!any) {
            WriteLine(io.err, "The syntax of the command is incorrect.");
            return 1;
        }
        return result;
    }

    int Exit(Node& node) {
        int code = errorLevel_;
        for (size_t i = 1; i < node.words.size(); ++i) {
            if (IEquals(node.words[i], "/b")) continue;
            code = std::atoi(Unquote(node.words[i]).c_str());
            break;
        }
        throw ExitRequest{code};
    }

    // Only the elevation test of the batch files: a dirty-bit query needs administrator
    // rights, which is all that is asked of it.
    int FsUtil(Node& node, const Streams& io) {
        const auto args = Rest(node.words, 1);
        if (args.size() < 2 || !IEquals(args[0], "dirty") || !IEquals(args[1], "query"))
            throw Unsupported("FSUTIL " + Trim(node.text.substr(node.words[0].size())));
        if (::geteuid() != 0) {
            WriteLine(io.err,
                      "The FSUTIL utility requires that you have administrative privileges.");
            return 1;
        }
        WriteLine(io.out,
                  "Volume - " + (args.size() > 2 ? args[2] : std::string("/")) + " is NOT Dirty");
        return 0;
    }

    // A program, a batch file or a script: the current folder first, then the search path.
    // A name X.exe is the file X here. An unquoted path with blanks is tried word by word,
    // longer each time, as the system does for a program path without quotes.
    int External(Node& node, const Streams& io) {
        const std::vector<std::string>& w = node.words;
        std::string found;
        size_t used = 1;
        for (size_t n = 1; n <= w.size() && found.empty(); ++n) {
            std::string name;
            for (size_t i = 0; i < n; ++i) name += (i ? " " : "") + Unquote(w[i]);
            found = Resolve(name);
            used = n;
            if (w[0].find('"') != std::string::npos || name.find('/') == std::string::npos) break;
        }
        if (found.empty()) {
            WriteLine(io.err, "'" + Unquote(w[0]) +
                                  "' is not recognized as an internal or external command,");
            WriteLine(io.err, "operable program or batch file.");
            return kNotRecognized;
        }
        const auto args = Rest(w, used);
        if (EndsWithI(found, ".vbs")) return ScriptHost(found, io);
        if (EndsWithI(found, ".bat") || EndsWithI(found, ".cmd")) {
            Interpreter nested(*this);
            return nested.RunBatch(found, args);
        }
        return Spawn(found, args, io);
    }

    std::string Resolve(const std::string& name) const {
        std::vector<std::string> names{name};
        if (EndsWithI(name, ".exe")) names.insert(names.begin(), name.substr(0, name.size() - 4));
        std::vector<std::string> folders;
        if (name.find('/') != std::string::npos) {
            folders.push_back("");
        } else {
            folders.push_back(cwd_ + "/");
            std::stringstream list(*env_.Find("PATH"));
            std::string dir;
            while (std::getline(list, dir, ':'))
                if (!dir.empty()) folders.push_back(dir + "/");
        }
        for (const auto& folder : folders)
            for (const auto& n : names) {
                const std::string path = AbsolutePath(folder + n);
                if (IsRegularFile(path)) return path;
            }
        return {};
    }

    int Spawn(const std::string& program, const std::vector<std::string>& args, const Streams& io) {
        std::vector<std::string> all{program};
        all.insert(all.end(), args.begin(), args.end());
        CStrings argv(all);
        CStrings envp(env_.Entries());
        if (::access(program.c_str(), X_OK) != 0) {
            WriteLine(io.err, program + ": " + SystemText(errno));
            return 1;
        }
        int report[2];
        if (::pipe2(report, O_CLOEXEC) != 0) {
            WriteLine(io.err, "pipe: " + SystemText(errno));
            return 1;
        }
        const pid_t child = ::fork();
        if (child == 0) {
            ResetSignalsInChild();
            if (io.out != 1) ::dup2(io.out, 1);
            if (io.err != 2) ::dup2(io.err, 2);
            int error = 0;
            if (::chdir(cwd_.c_str()) != 0) {
                error = errno;
            } else {
                ::execve(argv.pointers[0], argv.data(), envp.data());
                error = errno;
            }
            (void)!::write(report[1], &error, sizeof error);
            ::_exit(127);
        }
        ::close(report[1]);
        if (child < 0) {
            ::close(report[0]);
            WriteLine(io.err, "fork: " + SystemText(errno));
            return 1;
        }
        int error = 0;
        const ssize_t n = ::read(report[0], &error, sizeof error);
        ::close(report[0]);
        int status = 0;
        while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
        if (n == static_cast<ssize_t>(sizeof error)) {
            WriteLine(io.err, program + ": " + SystemText(error));
            return 1;
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    // The script's command line must be the batch files' own "/k cd "<folder>" && <file>
    // <params>", <file> a batch file in <folder>. It is never run as a command line: the
    // runner gets the file and the parameters as separate words, so a folder name holding
    // "&" or "^" cannot make the elevated run start anything else.
    static bool SelfElevation(const std::string& command, std::vector<std::string>& relaunch,
                              std::string& folder) {
        const std::string head = Lower(command.substr(0, 7));
        if (head != "/k cd \"" && head != "/c cd \"") return false;
        const size_t close = command.find('"', 7);
        if (close == std::string::npos || command.compare(close, 5, "\" && ") != 0) return false;
        folder = command.substr(7, close - 7);
        const std::string rest = command.substr(close + 5);
        std::string prefix = folder;
        if (prefix.empty() || prefix[0] != '/') return false;
        if (prefix.back() != '/') prefix += '/';
        if (rest.compare(0, prefix.size(), prefix) != 0) return false;
        // The file's name ends at the first blank after which the name is a batch file.
        for (size_t end = prefix.size(); end <= rest.size(); ++end) {
            if (end < rest.size() && rest[end] != ' ') continue;
            const std::string file = rest.substr(0, end);
            if (file.find('/', prefix.size()) != std::string::npos) return false;
            if (!(EndsWithI(file, ".bat") || EndsWithI(file, ".cmd")) || !IsRegularFile(file))
                continue;
            relaunch.assign(1, file);
            std::stringstream params(end < rest.size() ? rest.substr(end + 1) : std::string());
            for (std::string word; params >> word;) relaunch.push_back(Unquote(word));
            return true;
        }
        return false;
    }

    // The script host runs one script only: the line the batch files write to start
    // themselves again elevated. It starts the runner elevated on that batch file and
    // returns once it is launched, as the shell's ShellExecute does.
    int ScriptHost(const std::string& script, const Streams& io) {
        std::ifstream in(script, std::ios::binary);
        const std::string content((std::istreambuf_iterator<char>(in)), {});
        const std::string line = Trim(content);
        static const std::string kHead =
            "Set UAC = CreateObject(\"Shell.Application\") : UAC.ShellExecute \"cmd.exe\", \"";
        static const std::string kTail = ", \"\", \"runas\", 1";
        std::string command;
        bool valid = line.find_first_of("\r\n") == std::string::npos && line.rfind(kHead, 0) == 0;
        size_t i = kHead.size();
        // A script string: "" stands for one quote.
        for (; valid && i < line.size(); ++i) {
            if (line[i] != '"') {
                command += line[i];
            } else if (i + 1 < line.size() && line[i + 1] == '"') {
                command += '"';
                ++i;
            } else {
                break;
            }
        }
        valid = valid && i < line.size() && line.substr(i + 1) == kTail;
        std::vector<std::string> relaunch;
        std::string folder;
        if (!valid || !SelfElevation(command, relaunch, folder)) {
            WriteLine(io.err, script + ": this script is not supported here");
            return 1;
        }
        try {
            LaunchRunnerElevated(relaunch, folder, env_.Entries(), *env_.Find("PATH"), io.out,
                                 io.err);
        } catch (const std::exception& e) {
            WriteLine(io.err, script + ": " + e.what());
            return 1;
        }
        return 0;
    }

    Environment env_;
    std::string cwd_;
    std::string runnerFolder_;
    std::string batchPath_;
    std::vector<std::string> batchArgs_;
    bool inBatch_ = false;
    bool echo_ = true;
    int errorLevel_ = 0;
};

}  // namespace

int RunBatchFile(const std::string& file, const std::vector<std::string>& args) {
    Interpreter interpreter;
    return interpreter.RunBatch(file, args);
}

int RunCommandLine(const std::string& line) {
    Interpreter interpreter;
    return interpreter.RunCommand(line);
}

std::string RunnerPath() {
    const char* configured = std::getenv("KAVAR_SHELL");
    if (configured != nullptr && *configured != '\0') return configured;
    return RunnerFolder() + "/KavarShell";
}

void ShellRunAs(const std::string& file) {
    if (!IsRegularFile(file)) throw std::runtime_error(file + ": " + SystemText(ENOENT));
    const std::string full = fs::absolute(file).lexically_normal().string();
    std::vector<std::string> env;
    for (char** e = environ; e != nullptr && *e != nullptr; ++e) env.emplace_back(*e);
    const char* path = std::getenv("PATH");
    // Files launched one after the other run in that order (an install before the stop
    // launched right after it): each runner waits for the one launched before it.
    static std::mutex mutex;
    static std::string previous;
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<std::string> args;
    if (!previous.empty() && RunnerIdentity(ParseRunnerPid(previous)) == previous)
        args = {"--after", previous};
    args.push_back(full);
    const pid_t started = LaunchRunnerElevated(
        args, FolderOf(full), env, path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin", -1, -1);
    previous = RunnerIdentity(started);
}

void WaitForEarlierRunner(const std::string& identity) {
    const pid_t pid = ParseRunnerPid(identity);
    if (pid <= 0) return;
    // Bounded, so that a runner stuck for good does not hold back every later file.
    const auto until = std::chrono::steady_clock::now() + std::chrono::minutes(10);
    while (RunnerIdentity(pid) == identity && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

}  // namespace kavar::shell
