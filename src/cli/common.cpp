#include "cli/common.h"

#include "install/delta.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <iterator>
#include <ostream>
#include <sstream>

#include "patcher/strings.h"
#include "support/encoding.h"

namespace ovpatch {

namespace fs = std::filesystem;

std::string Utf8(const std::wstring& text) {
    return mStringTools::TextToUtf8Bytes(text);
}

std::wstring Wide(const std::string& bytes) {
    return mStringTools::Utf8BytesToText(bytes);
}

std::string ReadWhole(const std::string& path, const char* what) {
    std::error_code ec;
    if (!fs::is_regular_file(path, ec))
        throw Failure{kUnreadable, std::string(what) + " " + path + " is not a file"};
    std::ifstream in(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in && !in.eof())
        throw Failure{kUnreadable, std::string("cannot read ") + what + " " + path};
    return bytes;
}

std::wstring DecodeText(std::string bytes) {
    if (bytes.size() >= 2 && static_cast<uint8_t>(bytes[0]) == 0xFF && static_cast<uint8_t>(bytes[1]) == 0xFE)
        return mStringTools::Utf16BytesToText(bytes.substr(2));
    bytes = bytes.substr(0, bytes.find('\0'));
    if (mStringTools::IsUTF8(bytes)) {
        std::wstring text = Wide(bytes);
        if (!text.empty() && text[0] == 0xFEFF)
            text.erase(0, 1);
        return text;
    }
    static const uint16_t k1252[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                       0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                       0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                       0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};
    std::wstring text;
    for (char c : bytes) {
        const uint8_t b = static_cast<uint8_t>(c);
        text.push_back(static_cast<wchar_t>(b >= 0x80 && b < 0xA0 ? k1252[b - 0x80] : b));
    }
    return text;
}

FileSource::FileSource(const std::string& path) : in_(path, std::ios::binary) {
    std::error_code ec;
    if (!fs::is_regular_file(path, ec) || !in_)
        throw Failure{kUnreadable, "cannot read " + path};
    in_.seekg(0, std::ios::end);
    size_ = static_cast<int64_t>(in_.tellg());
}

void FileSource::ReadAt(int64_t offset, char* buffer, size_t count) {
    in_.clear();
    in_.seekg(offset);
    in_.read(buffer, static_cast<std::streamsize>(count));
    if (offset < 0 || offset + static_cast<int64_t>(count) > size_ || static_cast<size_t>(in_.gcount()) != count)
        throw SysError{38, L"Reached the end of the file."};
}

cXmlNode ReadDescriptor(FileSource& source, const std::string& path) {
    try {
        return cXmlNode(Wide(mGlobal::ReadPatchBlock(source, 0, mGlobal::kMaxInMemoryBlock)));
    } catch (const SysError& e) {
        throw Failure{kNotAPatch, path + " is not a patch: " + Utf8(e.description)};
    }
}

std::vector<LanguageBlock> CheckMessageTable(const std::wstring& table) {
    std::vector<LanguageBlock> blocks;
    const cXmlNode root(L"<Strings>" + table + L"</Strings>");
    const int32_t count = root.ChildCount();
    for (int32_t i = 1; i <= count; ++i) {
        const std::optional<cXmlNode> block = root.Child(i);
        if (!block)
            continue;
        LanguageBlock b{block->Name(), block->ChildCount(), {}};
        for (const wchar_t* key : mPatchStrings::kMessageKeys) {
            if (block->ChildValue(key).empty())
                b.missing.push_back(key);
        }
        blocks.push_back(std::move(b));
    }
    return blocks;
}

std::optional<int64_t> SourceDateEpoch() {
    const char* epoch = std::getenv("SOURCE_DATE_EPOCH");
    if (!epoch)
        return std::nullopt;
    char* end = nullptr;
    errno = 0;
    const long long seconds = std::strtoll(epoch, &end, 10);
    if (!*epoch || *end || errno || seconds < 0)
        throw Failure{kUsage, std::string("SOURCE_DATE_EPOCH is not a count of seconds: \"") + epoch + "\""};
    return seconds;
}

namespace {

double Now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

}  // namespace

std::string Grouped(uintmax_t number) {
    std::string text = std::to_string(number);
    for (size_t at = text.size(); at > 3; at -= 3)
        text.insert(at - 3, ",");
    return text;
}

Progress::Progress(std::ostream* err, std::string verb, std::string what, size_t total)
    : err_(err), verb_(std::move(verb)), what_(std::move(what)), total_(total), wait_(2), every_(5), start_(Now()) {
    if (const char* seconds = std::getenv("OVPATCH_PROGRESS_SECONDS"); seconds && *seconds)
        wait_ = every_ = std::max(0.0, std::strtod(seconds, nullptr));
    // Only the real standard error can be a terminal; a bar in a log would be one long line.
    terminal_ = err_ == &std::cerr && isatty(STDERR_FILENO);
}

Progress::~Progress() {
    if (bar_)
        *err_ << "\n" << std::flush;
}

void Progress::Step(size_t done) {
    if (!err_)
        return;
    const double now = Now();
    // Once anything was told, the last step is too: the bar ends full, the log says the step is done.
    const bool last = last_ >= 0 && done == total_;
    if (now - start_ < wait_ || (last_ >= 0 && now - last_ < (terminal_ ? 0.2 : every_) && !last))
        return;
    last_ = now;
    const std::string count = Grouped(done) + " of " + Grouped(total_) + " " + what_;
    if (!terminal_) {
        *err_ << verb_ << ": " << count << "\n" << std::flush;
        return;
    }
    constexpr size_t kWidth = 30;
    const size_t filled = total_ ? std::min(kWidth, done * kWidth / total_) : kWidth;
    *err_ << "\r" << verb_ << ": [" << std::string(filled, '#') << std::string(kWidth - filled, ' ') << "] " << count
          << "\x1b[K" << std::flush;
    bar_ = true;
}

void Progress::Note(const std::string& text, bool large) {
    if (!err_ || (!large && wait_ > 0))
        return;
    if (bar_)
        *err_ << "\n";
    bar_ = false;
    *err_ << verb_ << ": " << text << "\n" << std::flush;
}

namespace {

volatile sig_atomic_t gStopSignal = 0;
constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void RecordStop(int signal) {
    gStopSignal = signal;
}

}  // namespace

// No SA_RESTART: a read or a wait returns at the signal, so that a running 7zz can be ended at once.
StopGuard::StopGuard() {
    struct sigaction action {};
    action.sa_handler = RecordStop;
    sigemptyset(&action.sa_mask);
    for (size_t i = 0; i < std::size(kStopSignals); ++i)
        sigaction(kStopSignals[i], &action, &old_[i]);
}

StopGuard::~StopGuard() {
    for (size_t i = 0; i < std::size(kStopSignals); ++i)
        sigaction(kStopSignals[i], &old_[i], nullptr);
}

int StopSignal() {
    return gStopSignal;
}

void ThrowIfStopped() {
    if (gStopSignal)
        throw Failure{kWriteFailed, "interrupted: nothing written"};
}

bool OnPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path ? path : "");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        if (!dir.empty() && access((dir + "/" + program).c_str(), X_OK) == 0)
            return true;
    }
    return false;
}

std::string RunCaptured(const std::vector<std::string>& argv, int& status, const std::string& folder) {
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0)
        throw Failure{kUnreadable, "cannot start " + argv[0]};
    const pid_t pid = fork();
    if (pid < 0)
        throw Failure{kUnreadable, "cannot start " + argv[0]};
    if (pid == 0) {
        const int null = open("/dev/null", O_RDONLY);
        dup2(null, 0);
        dup2(pipeFds[1], 1);
        dup2(pipeFds[1], 2);
        if (!folder.empty() && chdir(folder.c_str()) != 0)
            _exit(126);
        std::vector<char*> args;
        for (const std::string& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(pipeFds[1]);
    std::string output;
    char buffer[4096];
    bool ended = false;
    const auto endIfStopped = [&] {
        if (gStopSignal && !ended) {
            kill(pid, SIGTERM);
            ended = true;
        }
    };
    for (ssize_t got; (got = read(pipeFds[0], buffer, sizeof buffer)) != 0;) {
        if (got > 0)
            output.append(buffer, static_cast<size_t>(got));
        else if (errno != EINTR)
            break;
        endIfStopped();
    }
    close(pipeFds[0]);
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR)
        endIfStopped();
    ThrowIfStopped();
    return output;
}

std::optional<std::vector<ArchiveEntry>> ListArchive(const std::string& path,
                                                     const std::string& shownAs,
                                                     const std::vector<std::string>& switches) {
    if (!OnPath("7zz"))
        return std::nullopt;
    // An empty password: an archive whose list is encrypted is refused instead of asking for one.
    int status = 0;
    std::vector<std::string> argv = {"7zz", "l", "-ba", "-slt", "-t7z", "-p"};
    argv.insert(argv.end(), switches.begin(), switches.end());
    argv.insert(argv.end(), {"--", path});
    const std::string output = RunCaptured(argv, status);
    std::vector<ArchiveEntry> entries;
    std::istringstream lines(output);
    std::string line, reason;
    while (std::getline(lines, line)) {
        if (line.rfind("Path = ", 0) == 0)
            entries.push_back({line.substr(7)});
        else if (line.rfind("Size = ", 0) == 0 && !entries.empty())
            entries.back().size = std::atoll(line.c_str() + 7);
        else if (line.rfind("Packed Size = ", 0) == 0 && line.size() > 14 && !entries.empty())
            entries.back().packed = std::atoll(line.c_str() + 14);
        else if (line.rfind("Attributes = ", 0) == 0 && !entries.empty()) {
            // "D" for a folder, then the Unix mode when the archive keeps one: "lrwxrwxrwx" for a link.
            entries.back().folder = line.compare(13, 1, "D") == 0;
            entries.back().link = line.size() > 10 && line.compare(line.size() - 10, 1, "l") == 0 &&
                                  line.find(' ', 13) == line.size() - 11;
        } else if (!line.empty() && line != "ERRORS:")
            reason = line.substr(line.rfind(" : ") == std::string::npos ? 0 : line.rfind(" : ") + 3);
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw Failure{kRefused, "7-Zip cannot read the archive " + (shownAs.empty() ? path : shownAs) + ": " +
                                    (reason.empty() ? "it failed" : reason)};
    return entries;
}

std::string DeltaTargetOf(const std::string& archivePath) {
    std::wstring path = Wide(archivePath);
    std::replace(path.begin(), path.end(), L'/', L'\\');
    std::string target = Utf8(mDelta::TargetOfEntry(path));
    std::replace(target.begin(), target.end(), '\\', '/');
    return target;
}

void TestArchive(const std::string& path) {
    int status = 0;
    const std::string output = RunCaptured({"7zz", "t", "-bd", "-t7z", "-p-ovpatch-no-password-", "--", path}, status);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return;
    std::istringstream lines(output);
    std::string line, reason;
    while (reason.empty() && std::getline(lines, line))
        if (line.rfind("ERROR: ", 0) == 0)
            reason = line.substr(7);
    throw Failure{kRefused, "no patch written: the archive " + path +
                                " fails 7-Zip's test (damaged, or its data needs a password): " +
                                (reason.empty() ? "it failed" : reason)};
}

bool Args::Next() {
    if (next_ >= args_.size())
        return false;
    name_ = args_[next_++];
    inline_.reset();
    option_ = name_ == "-o" || (name_.size() > 2 && name_.rfind("--", 0) == 0);
    if (!option_)
        return true;
    name_ = name_ == "-o" ? "output" : name_.substr(2);
    const size_t equals = name_.find('=');
    if (equals != std::string::npos) {
        inline_ = name_.substr(equals + 1);
        name_.resize(equals);
    }
    return true;
}

std::string Args::Value() {
    if (inline_)
        return *inline_;
    if (next_ >= args_.size())
        throw Failure{kUsage, "--" + name_ + " needs a value"};
    return args_[next_++];
}

void Args::Unknown() const {
    if (option_)
        throw Failure{kUsage, "unknown option --" + name_ + " (see ovpatch --help)"};
    throw Failure{kUsage, "unexpected \"" + name_ + "\" (see ovpatch --help)"};
}

std::string Json(const std::string& text) {
    std::string json = "\"";
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            json += '\\';
            json += c;
        } else if (c == '\n' || c == '\r' || c == '\t') {
            json += c == '\n' ? "\\n" : c == '\r' ? "\\r" : "\\t";
        } else if (b < 0x20 || b == 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\u%04x", b);
            json += hex;
        } else {
            json += c;
        }
    }
    return json + "\"";
}

}  // namespace ovpatch
