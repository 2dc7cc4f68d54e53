#include "core/chessboard/detection_pass.h"

#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace {

// The image as 8-bit grey, mirrored when asked; empty when it cannot be read.
cv::Mat readGray(const std::string& path, bool mirror)
{
    cv::Mat gray = cv::imread(path, cv::IMREAD_GRAYSCALE);
    if (!gray.empty() && mirror)
        cv::flip(gray, gray, 1);
    return gray;
}

BoardDetection detectInImage(const cv::Mat& gray, const ChessboardOptions& options)
{
    BoardDetection d;
    d.imageSize = gray.size();
    if (detectChessboard(gray, options, d.corners))
        d.outcome = BoardDetection::Outcome::Found;
    else
        d.corners.clear();
    return d;
}

BoardDetection detectRequest(const DetectionRequest& request, const ChessboardOptions& options)
{
    BoardDetection d;
    try {
        const cv::Mat gray = readGray(request.path, request.mirror);
        if (gray.empty())
            return d;
        d = detectInImage(gray, options);
        if (d.found() || request.fallbackPath.empty())
            return d;
        const cv::Mat fallback = readGray(request.fallbackPath, request.mirror);
        if (fallback.empty() || fallback.size() != gray.size())
            return d;
        BoardDetection second = detectInImage(fallback, options);
        if (second.found()) {
            second.fromFallback = true;
            return second;
        }
    } catch (const cv::Exception& e) {
        d = BoardDetection();
        d.outcome = BoardDetection::Outcome::Error;
        d.error = e.what();
    }
    return d;
}

} // namespace

BoardDetection detectBoardInFile(const std::string& path, const ChessboardOptions& options, bool mirror)
{
    DetectionRequest request;
    request.path = path;
    request.mirror = mirror;
    return detectRequest(request, options);
}

DetectionCache::FileStamp DetectionCache::stampOf(const std::string& path)
{
    namespace fs = std::filesystem;
    FileStamp stamp;
    std::error_code error;
    const std::uintmax_t size = fs::file_size(path, error);
    if (error)
        return stamp;
    const fs::file_time_type modified = fs::last_write_time(path, error);
    if (error)
        return stamp;
    stamp.size = static_cast<std::int64_t>(size);
    stamp.modified =
        std::chrono::duration_cast<std::chrono::nanoseconds>(modified.time_since_epoch()).count();
    return stamp;
}

bool DetectionCache::sameDetection(const ChessboardOptions& a, const ChessboardOptions& b)
{
    if (a.patternSize != b.patternSize || a.radon != b.radon)
        return false;
    if (a.radon) // the own detector is neither normalised nor refined
        return true;
    return a.normalizeImage == b.normalizeImage && a.windowFactor == b.windowFactor &&
           a.zeroZone == b.zeroZone;
}

bool DetectionCache::isEntryOf(const Entry& e, const DetectionRequest& request,
                               const ChessboardOptions& options)
{
    return e.request.path == request.path && e.request.mirror == request.mirror &&
           e.request.fallbackPath == request.fallbackPath && sameDetection(e.options, options);
}

std::optional<BoardDetection> DetectionCache::find(const DetectionRequest& request,
                                                   const ChessboardOptions& options) const
{
    for (const Entry& e : entries) {
        if (!isEntryOf(e, request, options))
            continue;
        const RequestStamps now = stampsOf(request);
        if (!(e.stamps.image == now.image) || !(e.stamps.fallback == now.fallback))
            return std::nullopt;
        return e.detection;
    }
    return std::nullopt;
}

DetectionCache::RequestStamps DetectionCache::stampsOf(const DetectionRequest& request)
{
    return {stampOf(request.path),
            request.fallbackPath.empty() ? FileStamp() : stampOf(request.fallbackPath)};
}

void DetectionCache::store(const DetectionRequest& request, const ChessboardOptions& options,
                           const BoardDetection& detection, const RequestStamps& stamps)
{
    Entry entry{request, stamps, options, detection};
    for (Entry& e : entries) {
        if (isEntryOf(e, request, options)) {
            e = std::move(entry);
            return;
        }
    }
    entries.push_back(std::move(entry));
}

void DetectionCache::forget(const std::string& path)
{
    entries.erase(std::remove_if(entries.begin(), entries.end(),
                                 [&path](const Entry& e) { return e.request.path == path; }),
                  entries.end());
}

DetectionPassResult detectBoards(const std::vector<DetectionRequest>& requests,
                                 const ChessboardOptions& options, DetectionCache& cache,
                                 const DetectionProgress& progress)
{
    DetectionPassResult result;
    result.detections.resize(requests.size());
    for (size_t i = 0; i < requests.size(); ++i) {
        const DetectionRequest& request = requests[i];
        bool reused = false;
        if (request.selected) {
            std::optional<BoardDetection> cached = cache.find(request, options);
            reused = cached.has_value();
            if (!reused) {
                const DetectionCache::RequestStamps stamps = DetectionCache::stampsOf(request);
                cached = detectRequest(request, options);
                if (cached->outcome != BoardDetection::Outcome::Error)
                    cache.store(request, options, *cached, stamps);
            }
            result.detections[i] = std::move(cached);
        }
        if (progress && !progress(i, result.detections[i], reused)) {
            result.aborted = true;
            return result;
        }
    }
    return result;
}
