#pragma once

// Reading OpenCV's YAML/JSON/XML files without trusting the parser.
//
// OpenCV's FileStorage parser can throw standard exceptions (std::length_error
// from a 16-byte file), crash, or never return (a 17-byte file) on malformed
// text. The promise of this module: OpenCV's parser never runs in the program
// on a text that makes it hang, throw anything but a cv::Exception, or crash.
//
// How: every text is first parsed by the file checker, a small program of
// its own ("tessimo_storage_check", built and installed next to the program;
// protocol in storage_probe.h). It is started with posix_spawn, which does not
// copy the program (its cost does not grow with the program's size) and runs
// nothing in the program's name between the spawn and the checker's start.
// The checker bounds itself before it parses: a processor-time limit per text
// of a quarter of a second plus one second per MiB, enforced by a processor-time alarm
// and, for the whole request, by RLIMIT_CPU; an address space of what it
// starts with plus room for 24 times the largest text; no core files. The
// limits count processor time, not wall-clock time, and leave about five
// times what OpenCV's slowest valid input needs: a valid file up to the size
// cap passes however busy the machine and however large the program. A text
// that runs out of time, crashes the checker or throws anything else is
// refused; only text the checker parsed cleanly is parsed again here.
// Several texts can be checked by one checker (openFileStoragesGuarded).
//
// The checker is looked for next to the running program, then where the
// build put it (for test programs and tools in the build tree). When it
// cannot be found or started, no file is read and the error says so
// (StorageError::NoChecker); nothing is parsed in the program unchecked.
//
// No exception leaves these functions.

#include <opencv2/core/persistence.hpp>

#include <string>
#include <vector>

// Largest file the readers accept (bytes).
constexpr size_t kFileStorageMaxBytes = 64u << 20;

// Reads a whole file into `text`. Returns false with `error` set when the
// file cannot be opened or read, or is larger than maxBytes.
bool readWholeFile(const std::string& path, std::string& text, std::string& error,
                   size_t maxBytes = kFileStorageMaxBytes);

// Why a text could not be opened.
enum class StorageError {
    None,
    Unreadable, // the file cannot be read, is empty, too large or not text
    OpenCv,     // OpenCV's parser reported an error; the message is OpenCV's
    Malformed,  // the parser failed otherwise: threw another exception,
                // crashed, or did not finish within its processor time
    NoChecker,  // the file checker is missing or failed: nothing was read
};

// Where the file checker is, or an empty string when it cannot be found;
// `where` then says where it was looked for.
std::string fileStorageCheckerPath(std::string* where = nullptr);

// Makes the guard use the checker at `path` instead of looking for it (tests
// use it to take the checker away); an empty path looks for it again.
void useFileStorageChecker(const std::string& path);

// Opens `text` (the contents of a YAML or JSON file as OpenCV writes them) for
// reading into `fs`. `formatFlag` is FileStorage::FORMAT_AUTO, FORMAT_YAML or
// FORMAT_JSON. Returns StorageError::None with `fs` open, or the kind of
// failure with `fs` released and `error` saying why.
StorageError openFileStorageGuarded(cv::FileStorage& fs, const std::string& text, int formatFlag,
                                    std::string& error);

// openFileStorageGuarded for several texts at once, checked by one checker
// process (another one only takes over after a text that ended the first).
// fs and errors are resized to the number of texts; the result holds one
// outcome per text.
std::vector<StorageError> openFileStoragesGuarded(std::vector<cv::FileStorage>& fs,
                                                  const std::vector<std::string>& texts, int formatFlag,
                                                  std::vector<std::string>& errors);

// readWholeFile followed by openFileStorageGuarded; the format follows the
// text (FORMAT_AUTO).
StorageError openFileStorageFile(cv::FileStorage& fs, const std::string& path, std::string& error);

// openFileStorageFile for a reader that reports its own status: true with
// `fs` open; otherwise false with `status` set to `cannotRead` (the file cannot
// be read; `error` is cleared) or to `invalid` (it can be read but not parsed,
// or the file checker is missing; `error` says why).
template <typename Status>
bool openFileForReading(cv::FileStorage& fs, const std::string& path, Status cannotRead, Status invalid,
                        Status& status, std::string& error)
{
    switch (openFileStorageFile(fs, path, error)) {
    case StorageError::None:
        return true;
    case StorageError::Unreadable:
        status = cannotRead;
        error.clear();
        return false;
    default:
        status = invalid;
        return false;
    }
}

// Reads a matrix node ("!!opencv-matrix": rows, cols, dt, data) into `m`
// after checking that its data holds exactly rows x cols x channels values,
// so that a damaged header cannot make OpenCV allocate more than the file
// holds. Returns false with `error` set, and `m` empty, when the node is not
// such a matrix; never throws.
bool readMatrixNode(const cv::FileNode& node, cv::Mat& m, std::string& error);
