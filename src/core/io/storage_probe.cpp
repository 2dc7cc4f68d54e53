#include "core/io/storage_probe.h"

#include <opencv2/core.hpp>

#include <exception>
#include <new>

namespace storage_probe {

namespace {

// Reads every node below `node`. The elements are counted rather than
// compared with node.end(), which OpenCV computes by walking the whole
// collection.
void visit(const cv::FileNode& node, int depth)
{
    if (depth > 64)
        return;
    if (node.isMap() || node.isSeq()) {
        const size_t n = node.size();
        cv::FileNodeIterator it = node.begin();
        for (size_t i = 0; i < n; ++i, ++it)
            visit(*it, depth + 1);
    } else if (node.isString()) {
        (void)node.string();
    } else if (node.isReal() || node.isInt()) {
        (void)node.real();
    }
}

} // namespace

double cpuSecondsFor(uint64_t textBytes)
{
    return 0.25 + double(textBytes) / double(1u << 20);
}

uint64_t addressSpaceAllowance(uint64_t largestText, uint64_t requestBytes)
{
    return (uint64_t(512) << 20) + requestBytes + 24 * largestText;
}

Verdict parseAndVisit(cv::FileStorage& fs, const std::string& text, int formatFlag, std::string& message)
{
    message.clear();
    try {
        if (!fs.open(text, cv::FileStorage::READ | cv::FileStorage::MEMORY | formatFlag) || !fs.isOpened())
            return Verdict::NotOpened;
        visit(fs.root(), 0);
        return Verdict::Ok;
    } catch (const cv::Exception& e) {
        message = e.err;
        return e.code == cv::Error::StsNoMem ? Verdict::OutOfMemory : Verdict::OpenCvError;
    } catch (const std::bad_alloc&) {
        return Verdict::OutOfMemory;
    } catch (...) {
        return Verdict::Threw;
    }
}

} // namespace storage_probe
