#include "core/io/file_storage_guard.h"

#include <opencv2/core.hpp>

#include <cctype>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <sstream>
#include <thread>

#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

enum ProbeExit { ProbeOk = 0, ProbeNotOpened = 3, ProbeOpenCvError = 4, ProbeThrew = 5 };

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

int parseInProcess(cv::FileStorage& fs, const std::string& text, int formatFlag,
                   std::string* message = nullptr)
{
    try {
        if (!fs.open(text, cv::FileStorage::READ | cv::FileStorage::MEMORY | formatFlag) || !fs.isOpened())
            return ProbeNotOpened;
        visit(fs.root(), 0);
        return ProbeOk;
    } catch (const cv::Exception& e) {
        if (message)
            *message = e.err;
        return ProbeOpenCvError;
    } catch (...) {
        return ProbeThrew;
    }
}

StorageError failure(cv::FileStorage& fs, std::string& error, StorageError kind, const std::string& why)
{
    fs.release();
    error = why;
    return kind;
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

StorageError openFileStorageGuarded(cv::FileStorage& fs, const std::string& text, int formatFlag,
                                    std::string& error, int timeoutMs)
{
    fs.release();
    if (text.empty())
        return failure(fs, error, StorageError::Unreadable, "the file is empty");
    // OpenCV reads a memory buffer only up to its first NUL byte.
    if (text.find('\0') != std::string::npos)
        return failure(fs, error, StorageError::Unreadable, "the file is not a text file");

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
            return failure(fs, error, StorageError::Malformed, "the parser did not finish reading the file");
        }
        if (done < 0 || !WIFEXITED(status))
            return failure(fs, error, StorageError::Malformed, "the file makes the parser fail");
        if (WEXITSTATUS(status) == ProbeThrew)
            return failure(fs, error, StorageError::Malformed, "the file is malformed");
    }
    // Probed cleanly, or with an error OpenCV reports in order (or no child
    // could be started): parse here, still catching whatever the parser throws.
    std::string message;
    switch (parseInProcess(fs, text, formatFlag, &message)) {
    case ProbeOk:
        error.clear();
        return StorageError::None;
    case ProbeNotOpened:
        return failure(fs, error, StorageError::Malformed, "the file cannot be parsed");
    case ProbeOpenCvError:
        return failure(fs, error, StorageError::OpenCv, message);
    default:
        return failure(fs, error, StorageError::Malformed, "the file is malformed");
    }
}

StorageError openFileStorageFile(cv::FileStorage& fs, const std::string& path, std::string& error,
                                 int timeoutMs)
{
    std::string text;
    if (!readWholeFile(path, text, error)) {
        fs.release();
        return StorageError::Unreadable;
    }
    return openFileStorageGuarded(fs, text, cv::FileStorage::FORMAT_AUTO, error, timeoutMs);
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
