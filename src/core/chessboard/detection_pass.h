#pragma once

// Finding the board in the image files of a calibration run: the detection of
// one file, and the pass over a run's files with a cache that keeps each
// file's result while neither the file nor the options that change detection
// change. Every dialog that detects boards in many images goes through
// detectBoards(); the dialog owns the cache and empties it when its images
// are opened again or a detection option changes.

#include "core/chessboard/chessboard_detection.h"

#include <opencv2/core.hpp>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// The board in one image file.
struct BoardDetection {
    enum class Outcome {
        Found,    // corners holds the pattern's inner corners, row by row
        NotFound, // no board, or the file is not an image (then imageSize is (0, 0))
        Error     // the detector raised an OpenCV error; `error` holds its text
    };
    Outcome outcome = Outcome::NotFound;
    std::vector<cv::Point2f> corners; // px, in the (mirrored) image the board was found in
    std::string error;
    cv::Size imageSize;        // size of the image read; (0, 0) when it could not be read
    bool fromFallback = false; // found in the request's fallback image

    bool found() const { return outcome == Outcome::Found; }
    bool readable() const { return imageSize.area() > 0; }
};

// Reads the file as an 8-bit grey image, flips it left-right when mirror is
// set, and finds the board with detectChessboard. Never throws.
BoardDetection detectBoardInFile(const std::string& path, const ChessboardOptions& options, bool mirror);

// One image of a detection pass.
struct DetectionRequest {
    std::string path;
    bool selected = true; // an image that is not selected is neither read nor detected
    bool mirror = false;  // flip left-right after reading, before detection
    // Tried, when not empty, if the board is not found in `path` (the
    // capture under the black pattern of a camera-projector set). The result
    // then comes from this image; its size must equal the first image's.
    std::string fallbackPath;
};

// Results of earlier detections, keyed by the image file (path, size and
// modification time, also of the fallback file), the request's mirror flag
// and the options that change what the detectors return (pattern size,
// normalisation, detector choice, refinement window and zero zone; not the
// square size). A file that changed on disk is detected again.
class DetectionCache {
public:
    // What identifies a file's content for the cache: its size and
    // modification time (ns since the epoch); both -1 for a missing file.
    struct FileStamp {
        std::int64_t size = -1;
        std::int64_t modified = -1;
        bool operator==(const FileStamp& o) const { return size == o.size && modified == o.modified; }
    };
    static FileStamp stampOf(const std::string& path);
    // The image's stamp and the fallback's (a default stamp when there is none).
    struct RequestStamps {
        FileStamp image, fallback;
    };
    static RequestStamps stampsOf(const DetectionRequest& request);

    // The stored result for this request and options, or nothing.
    std::optional<BoardDetection> find(const DetectionRequest& request,
                                       const ChessboardOptions& options) const;
    // Stores a result under the stamps its files had before they were read
    // (stampsOf before the detection), so that a file changed during the
    // detection is detected again.
    void store(const DetectionRequest& request, const ChessboardOptions& options,
               const BoardDetection& detection, const RequestStamps& stamps);
    void clear() { entries.clear(); }
    // Drops every result of this image file (whatever its mirror flag,
    // fallback or options), so that the next pass detects it again.
    void forget(const std::string& path);
    size_t size() const { return entries.size(); }

private:
    struct Entry {
        DetectionRequest request;
        RequestStamps stamps;
        ChessboardOptions options;
        BoardDetection detection;
    };
    static bool sameDetection(const ChessboardOptions& a, const ChessboardOptions& b);
    // Whether the entry is the one of this request and options (whatever
    // the files hold now).
    static bool isEntryOf(const Entry& e, const DetectionRequest& request, const ChessboardOptions& options);
    std::vector<Entry> entries;
};

// Told after each image of a pass: its index in the request list, the
// outcome (nothing for an image that is not selected) and whether the
// result came from the cache. Returning false stops the pass (abort).
using DetectionProgress =
    std::function<bool(size_t index, const std::optional<BoardDetection>& detection, bool reused)>;

struct DetectionPassResult {
    // One entry per request: nothing for an image that is not selected or
    // that the pass did not reach before it was stopped.
    std::vector<std::optional<BoardDetection>> detections;
    bool aborted = false;
};

// Finds the board in every selected image, in order, reusing the cache's
// results and storing new ones (errors are not stored, so a file that made
// the detector fail is tried again next time). progress, when given, is
// called after each image. Never throws for a file or detector error; those
// are outcomes of the image.
DetectionPassResult detectBoards(const std::vector<DetectionRequest>& requests,
                                 const ChessboardOptions& options, DetectionCache& cache,
                                 const DetectionProgress& progress = {});
