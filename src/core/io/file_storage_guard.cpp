#include "core/io/file_storage_guard.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <exception>
#include <fstream>
#include <sstream>
#include <thread>

#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

enum ProbeExit { ProbeOk = 0, ProbeNotOpened = 3, ProbeThrew = 4 };

// Parses the text the way the readers will and visits every node, so that a
// fault anywhere in the parser shows up here.
void visit(const cv::FileNode& node, int depth)
{
    if (depth > 64)
        return;
    if (node.isMap() || node.isSeq()) {
        for (cv::FileNodeIterator it = node.begin(); it != node.end(); ++it)
            visit(*it, depth + 1);
    } else if (node.isString()) {
        (void)node.string();
    } else if (node.isReal() || node.isInt()) {
        (void)node.real();
    }
}

int parseInProcess(cv::FileStorage& fs, const std::string& text, int formatFlag)
{
    try {
        if (!fs.open(text, cv::FileStorage::READ | cv::FileStorage::MEMORY | formatFlag) || !fs.isOpened())
            return ProbeNotOpened;
        visit(fs.root(), 0);
        return ProbeOk;
    } catch (...) {
        return ProbeThrew;
    }
}

} // namespace

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

bool openFileStorageGuarded(cv::FileStorage& fs, const std::string& text, int formatFlag, std::string& error,
                            int timeoutMs)
{
    fs.release();
    if (text.empty()) {
        error = "the file is empty";
        return false;
    }
    // OpenCV reads a memory buffer only up to its first NUL byte.
    if (text.find('\0') != std::string::npos) {
        error = "the file is not a text file";
        return false;
    }

    // The probe: the child parses and exits with the outcome; a crash or a
    // parse that does not end in time is the parent's answer as well.
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        cv::FileStorage probe;
        _exit(parseInProcess(probe, text, formatFlag));
    }
    if (child > 0) {
        int status = 0;
        pid_t done = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while ((done = waitpid(child, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        if (done == 0) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            error = "the parser did not finish reading the file";
            return false;
        }
        if (done < 0 || !WIFEXITED(status)) {
            error = "the file makes the parser fail";
            return false;
        }
        if (WEXITSTATUS(status) != ProbeOk) {
            error = WEXITSTATUS(status) == ProbeNotOpened ? "the file cannot be parsed" : "the file is malformed";
            return false;
        }
    }
    // Probed cleanly (or no child could be started): parse here, still
    // catching whatever the parser throws.
    const int result = parseInProcess(fs, text, formatFlag);
    if (result != ProbeOk) {
        fs.release();
        error = result == ProbeNotOpened ? "the file cannot be parsed" : "the file is malformed";
        return false;
    }
    return true;
}

bool openFileStorageFile(cv::FileStorage& fs, const std::string& path, std::string& error, int timeoutMs)
{
    std::string text;
    if (!readWholeFile(path, text, error))
        return false;
    return openFileStorageGuarded(fs, text, cv::FileStorage::FORMAT_AUTO, error, timeoutMs);
}
