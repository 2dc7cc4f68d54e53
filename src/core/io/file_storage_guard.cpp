#include "core/io/file_storage_guard.h"

#include "core/io/storage_probe.h"

#include <opencv2/core.hpp>

#include <cctype>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

using storage_probe::Verdict;

StorageError failure(cv::FileStorage& fs, std::string& error, StorageError kind, const std::string& why)
{
    fs.release();
    error = why;
    return kind;
}

// What the checker said about one text, or why it said nothing.
struct Outcome {
    StorageError kind = StorageError::NoChecker;
    std::string message;
};

std::string folderOf(const std::string& path)
{
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

std::string runningProgram()
{
    char buffer[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
    return n > 0 ? std::string(buffer, size_t(n)) : std::string();
}

bool isExecutable(const std::string& path)
{
    struct stat info {};
    return !path.empty() && stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           access(path.c_str(), X_OK) == 0;
}

// A descriptor of at least 3, so that placing it as the checker's standard
// input and output never leaves it as it was (close-on-exec).
int highDescriptor(int fd)
{
    if (fd >= 3)
        return fd;
    const int high = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    close(fd);
    return high;
}

bool sendFully(int fd, const void* data, size_t size)
{
    return storage_probe::transferFully(static_cast<const char*>(data), size, [fd](const char* p, size_t n) {
        return send(fd, p, n, MSG_NOSIGNAL);
    });
}

bool receiveFully(int fd, void* data, size_t size)
{
    return storage_probe::transferFully(static_cast<char*>(data), size,
                                        [fd](char* p, size_t n) { return recv(fd, p, n, 0); });
}

// Starts the checker with one end of a socket pair as its standard input
// and output and /dev/null as its error output, in its own default signal
// state. Returns the process id and the program's end of the pair, or -1.
pid_t spawnChecker(const std::string& checker, int& channel, std::string& error)
{
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        error = std::string("the file checker cannot be started: ") + std::strerror(errno);
        return -1;
    }
    channel = highDescriptor(pair[0]);
    const int theirs = highDescriptor(pair[1]);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, theirs, STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, theirs, STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::string program = checker;
    char* argv[] = {&program[0], nullptr};
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, checker.c_str(), &actions, &attributes, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(theirs);
    if (spawned != 0 || channel < 0) {
        error =
            "the file checker " + checker + " cannot be started: " + std::strerror(spawned ? spawned : errno);
        if (channel >= 0)
            close(channel);
        return -1;
    }
    return pid;
}

bool sendRequest(int channel, const std::vector<const std::string*>& texts, const std::vector<int>& flags)
{
    const uint32_t count = uint32_t(texts.size());
    bool ok = sendFully(channel, storage_probe::kMagic, 4) &&
              sendFully(channel, &storage_probe::kVersion, 4) && sendFully(channel, &count, 4);
    for (size_t i = 0; ok && i < texts.size(); ++i) {
        const int32_t flag = flags[i];
        const uint64_t size = texts[i]->size();
        ok = sendFully(channel, &flag, 4) && sendFully(channel, &size, 8);
    }
    for (size_t i = 0; ok && i < texts.size(); ++i)
        ok = sendFully(channel, texts[i]->data(), texts[i]->size());
    shutdown(channel, SHUT_WR);
    return ok;
}

Outcome outcomeOf(Verdict verdict, const std::string& message)
{
    switch (verdict) {
    case Verdict::Ok:
        return {StorageError::None, {}};
    case Verdict::NotOpened:
        return {StorageError::Malformed, "the file cannot be parsed"};
    case Verdict::OpenCvError:
        return {StorageError::OpenCv, message};
    case Verdict::OutOfMemory:
        return {StorageError::Malformed, "the parser needs more memory than the file's size allows"};
    default:
        return {StorageError::Malformed, "the file is malformed"};
    }
}

// Why the checker ended before it answered for a text, from its wait status.
Outcome endOf(int status, bool statusKnown, bool answered)
{
    if (statusKnown && WIFSIGNALED(status)) {
        const int signal = WTERMSIG(status);
        if (signal == SIGPROF || signal == SIGXCPU || signal == SIGKILL)
            return {StorageError::Malformed, "the parser did not finish reading the file"};
        return {StorageError::Malformed, "the file makes the parser fail"};
    }
    if (!answered)
        return {StorageError::NoChecker, "the file checker did not answer; the file was not read"};
    return {StorageError::Malformed, "the file makes the parser fail"};
}

// Runs one checker on texts[first...]: appends an outcome for every text it
// answered and, when it ended before the last one, for the text it ended on.
void runChecker(const std::string& checker, const std::vector<const std::string*>& texts,
                const std::vector<int>& flags, std::vector<Outcome>& outcomes)
{
    const size_t first = outcomes.size();
    const std::vector<const std::string*> mine(texts.begin() + long(first), texts.end());
    const std::vector<int> myFlags(flags.begin() + long(first), flags.end());
    int channel = -1;
    std::string error;
    const pid_t pid = spawnChecker(checker, channel, error);
    if (pid < 0) {
        outcomes.resize(texts.size(), Outcome{StorageError::NoChecker, error});
        return;
    }
    sendRequest(channel, mine, myFlags);
    char magic[4];
    uint32_t version = 0;
    const bool answered = receiveFully(channel, magic, 4) &&
                          std::memcmp(magic, storage_probe::kMagic, 4) == 0 &&
                          receiveFully(channel, &version, 4) && version == storage_probe::kVersion;
    while (answered && outcomes.size() < texts.size()) {
        uint8_t verdict = 0;
        uint32_t length = 0;
        if (!receiveFully(channel, &verdict, 1) || !receiveFully(channel, &length, 4) || length > 4096)
            break;
        std::string message(length, '\0');
        if (length > 0 && !receiveFully(channel, &message[0], length))
            break;
        outcomes.push_back(outcomeOf(Verdict(verdict), message));
    }
    close(channel);
    int status = 0;
    pid_t done;
    while ((done = waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
    }
    if (outcomes.size() < texts.size())
        outcomes.push_back(endOf(status, done == pid, answered));
}

// The checker's outcome for every text, from as few checker processes as
// the texts allow.
std::vector<Outcome> probe(const std::vector<const std::string*>& texts, const std::vector<int>& flags)
{
    std::vector<Outcome> outcomes;
    std::string where;
    const std::string checker = fileStorageCheckerPath(&where);
    if (checker.empty()) {
        outcomes.resize(texts.size(), Outcome{StorageError::NoChecker,
                                              "the file checker " + std::string(storage_probe::kCheckerName) +
                                                  " is missing (looked for in " + where +
                                                  "), so no file can be read safely; reinstall the program"});
        return outcomes;
    }
    while (outcomes.size() < texts.size()) {
        const size_t before = outcomes.size();
        runChecker(checker, texts, flags, outcomes);
        // A checker that does not answer at all will not answer the rest either.
        if (outcomes.size() > before && outcomes.back().kind == StorageError::NoChecker)
            outcomes.resize(texts.size(), outcomes.back());
    }
    return outcomes;
}

// What cannot be parsed at all is refused before any process is started.
bool refusedAsText(const std::string& text, Outcome& outcome)
{
    if (text.empty()) {
        outcome = {StorageError::Unreadable, "the file is empty"};
        return true;
    }
    // OpenCV reads a memory buffer only up to its first NUL byte.
    if (text.find('\0') != std::string::npos) {
        outcome = {StorageError::Unreadable, "the file is not a text file"};
        return true;
    }
    return false;
}

// Parses a text the checker parsed cleanly.
StorageError openChecked(cv::FileStorage& fs, const std::string& text, int formatFlag, std::string& error)
{
    try {
        if (fs.open(text, cv::FileStorage::READ | cv::FileStorage::MEMORY | formatFlag) && fs.isOpened()) {
            error.clear();
            return StorageError::None;
        }
        return failure(fs, error, StorageError::Malformed, "the file cannot be parsed");
    } catch (const cv::Exception& e) {
        return failure(fs, error, StorageError::OpenCv, e.err);
    } catch (...) {
        return failure(fs, error, StorageError::Malformed, "the file is malformed");
    }
}

// Opens every text into its storage through the checker; see
// openFileStoragesGuarded.
std::vector<StorageError> openAll(const std::vector<cv::FileStorage*>& fs,
                                  const std::vector<const std::string*>& texts, int formatFlag,
                                  const std::vector<std::string*>& errors)
{
    std::vector<StorageError> results(texts.size(), StorageError::None);
    // Texts that are no text at all never reach the checker.
    std::vector<const std::string*> toCheck;
    std::vector<size_t> indices;
    for (size_t i = 0; i < texts.size(); ++i) {
        Outcome refused;
        if (refusedAsText(*texts[i], refused)) {
            results[i] = failure(*fs[i], *errors[i], refused.kind, refused.message);
        } else {
            toCheck.push_back(texts[i]);
            indices.push_back(i);
        }
    }
    const std::vector<Outcome> outcomes = probe(toCheck, std::vector<int>(toCheck.size(), formatFlag));
    for (size_t k = 0; k < indices.size(); ++k) {
        const size_t i = indices[k];
        if (outcomes[k].kind == StorageError::None)
            results[i] = openChecked(*fs[i], *texts[i], formatFlag, *errors[i]);
        else
            results[i] = failure(*fs[i], *errors[i], outcomes[k].kind, outcomes[k].message);
    }
    return results;
}

} // namespace

namespace {

std::mutex chosenMutex;
std::string chosenChecker; // set by useFileStorageChecker

} // namespace

void useFileStorageChecker(const std::string& path)
{
    const std::lock_guard<std::mutex> lock(chosenMutex);
    chosenChecker = path;
}

std::string fileStorageCheckerPath(std::string* where)
{
    {
        const std::lock_guard<std::mutex> lock(chosenMutex);
        if (!chosenChecker.empty()) {
            if (where)
                *where = folderOf(chosenChecker);
            return isExecutable(chosenChecker) ? chosenChecker : std::string();
        }
    }
    static std::once_flag once;
    static std::string found, searched;
    std::call_once(once, [] {
        const std::string program = runningProgram();
        const std::string beside = folderOf(program) + "/" + storage_probe::kCheckerName;
        searched = program.empty() ? std::string("the running program's folder") : folderOf(program);
        if (!program.empty() && isExecutable(beside)) {
            found = beside;
            return;
        }
#ifdef TESSIMO_STORAGE_CHECK_BUILD_PATH
        searched += " and " + folderOf(TESSIMO_STORAGE_CHECK_BUILD_PATH);
        if (isExecutable(TESSIMO_STORAGE_CHECK_BUILD_PATH))
            found = TESSIMO_STORAGE_CHECK_BUILD_PATH;
#endif
    });
    if (where)
        *where = searched;
    return found;
}

bool readWholeFile(const std::string& path, std::string& text, std::string& error, size_t maxBytes)
{
    text.clear();
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot open the file";
        return false;
    }
    in.seekg(0, std::ios::end);
    const std::streamoff size = in.tellg();
    if (size < 0) {
        error = "cannot read the file";
        return false;
    }
    if (static_cast<unsigned long long>(size) > maxBytes) {
        error = "the file is too large";
        return false;
    }
    in.seekg(0, std::ios::beg);
    text.resize(static_cast<size_t>(size));
    if (size > 0 && !in.read(&text[0], size)) {
        text.clear();
        error = "cannot read the file";
        return false;
    }
    return true;
}

StorageError openFileStorageGuarded(cv::FileStorage& fs, const std::string& text, int formatFlag,
                                    std::string& error)
{
    return openAll({&fs}, {&text}, formatFlag, {&error}).front();
}

std::vector<StorageError> openFileStoragesGuarded(std::vector<cv::FileStorage>& fs,
                                                  const std::vector<std::string>& texts, int formatFlag,
                                                  std::vector<std::string>& errors)
{
    fs = std::vector<cv::FileStorage>(texts.size());
    errors.assign(texts.size(), std::string());
    std::vector<cv::FileStorage*> fsOf;
    std::vector<const std::string*> textOf;
    std::vector<std::string*> errorOf;
    for (size_t i = 0; i < texts.size(); ++i) {
        fsOf.push_back(&fs[i]);
        textOf.push_back(&texts[i]);
        errorOf.push_back(&errors[i]);
    }
    return openAll(fsOf, textOf, formatFlag, errorOf);
}

StorageError openFileStorageFile(cv::FileStorage& fs, const std::string& path, std::string& error)
{
    std::string text;
    if (!readWholeFile(path, text, error)) {
        fs.release();
        return StorageError::Unreadable;
    }
    return openFileStorageGuarded(fs, text, cv::FileStorage::FORMAT_AUTO, error);
}

bool readMatrixNode(const cv::FileNode& node, cv::Mat& m, std::string& error)
{
    m.release();
    try {
        if (!node.isMap()) {
            error = "not a matrix";
            return false;
        }
        const cv::FileNode rows = node["rows"], cols = node["cols"], dt = node["dt"], data = node["data"];
        if (!rows.isInt() || !cols.isInt() || !dt.isString() || !data.isSeq()) {
            error = "not a matrix with rows, cols, dt and data";
            return false;
        }
        const long long r = int(rows), c = int(cols);
        // The element type: an optional channel count and one type letter.
        const std::string type = dt.string();
        size_t digits = 0;
        while (digits < type.size() && std::isdigit(static_cast<unsigned char>(type[digits])))
            ++digits;
        const long long channels =
            digits == 0 ? 1 : std::atoll(type.substr(0, std::min<size_t>(digits, 3)).c_str());
        if (r < 0 || c < 0 || channels < 1 || channels > 4 || type.size() != digits + 1 ||
            std::string("ucwsifdh").find(type.back()) == std::string::npos) {
            error = "the matrix header is invalid";
            return false;
        }
        if (r * c * channels != (long long)data.size()) {
            error = "the matrix holds " + std::to_string(data.size()) +
                    " values, not rows x cols x channels = " + std::to_string(r * c * channels);
            return false;
        }
        node >> m;
        return true;
    } catch (const cv::Exception& e) {
        m.release();
        error = e.err;
    } catch (const std::exception& e) {
        m.release();
        error = e.what();
    }
    return false;
}
