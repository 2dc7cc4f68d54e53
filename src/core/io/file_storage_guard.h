#pragma once

// Reading OpenCV's YAML/JSON files without trusting the parser.
//
// OpenCV's FileStorage parser can throw standard exceptions (std::length_error
// from a 16-byte file), crash, or never return (a 17-byte file) on malformed
// text. Every file the program reads through FileStorage goes through
// openFileStorageGuarded: the text is first parsed in a forked child process
// with a time limit, and only text that the child parsed cleanly is parsed
// again here. A file that fails is reported as unreadable with a reason; no
// exception leaves these functions.

#include <opencv2/core/persistence.hpp>

#include <string>

// Time a probe parse may take before the text counts as unreadable.
constexpr int kFileStorageProbeTimeoutMs = 1000;

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
                // crashed, or did not finish in time
};

// Opens `text` (the contents of a YAML or JSON file as OpenCV writes them) for
// reading into `fs`. `formatFlag` is FileStorage::FORMAT_AUTO, FORMAT_YAML or
// FORMAT_JSON. Returns StorageError::None with `fs` open, or the kind of
// failure with `fs` released and `error` saying why.
StorageError openFileStorageGuarded(cv::FileStorage& fs, const std::string& text, int formatFlag,
                                    std::string& error, int timeoutMs = kFileStorageProbeTimeoutMs);

// readWholeFile followed by openFileStorageGuarded; the format follows the
// text (FORMAT_AUTO).
StorageError openFileStorageFile(cv::FileStorage& fs, const std::string& path, std::string& error,
                                 int timeoutMs = kFileStorageProbeTimeoutMs);

// Reads a matrix node ("!!opencv-matrix": rows, cols, dt, data) into `m`
// after checking that its data holds exactly rows x cols x channels values,
// so that a damaged header cannot make OpenCV allocate more than the file
// holds. Returns false with `error` set, and `m` empty, when the node is not
// such a matrix; never throws.
bool readMatrixNode(const cv::FileNode& node, cv::Mat& m, std::string& error);
