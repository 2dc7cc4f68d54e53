// tessimo_storage_check: the file checker. Tessimo starts it for every file
// it reads through OpenCV's FileStorage; it parses the texts it is sent with
// OpenCV's parser and tells which of them parse cleanly (protocol and limits
// in core/io/storage_probe.h, design in core/io/file_storage_guard.h).
//
// It bounds itself before it parses anything: no core files, an address
// space of what it has at start plus an allowance for the request, a total
// processor time for the whole request (RLIMIT_CPU), and for each text a
// processor-time alarm (ITIMER_PROF, whose default action ends the process)
// in proportion to the text's size. Processor time, not wall-clock time: a
// valid file passes however busy the machine is.
//
// Exit status 0 after the last reply; 2 for a request it does not accept.

#include "core/io/storage_probe.h"

#include <opencv2/core/persistence.hpp>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

bool readFully(void* data, size_t size)
{
    return storage_probe::transferFully(static_cast<char*>(data), size,
                                        [](char* p, size_t n) { return read(STDIN_FILENO, p, n); });
}

bool writeFully(const void* data, size_t size)
{
    return storage_probe::transferFully(static_cast<const char*>(data), size,
                                        [](const char* p, size_t n) { return write(STDOUT_FILENO, p, n); });
}

// Size of the address space now (bytes), from /proc/self/statm.
uint64_t addressSpaceNow()
{
    FILE* f = std::fopen("/proc/self/statm", "r");
    if (!f)
        return 0;
    unsigned long long pages = 0;
    const int got = std::fscanf(f, "%llu", &pages);
    std::fclose(f);
    return got == 1 ? pages * uint64_t(sysconf(_SC_PAGESIZE)) : 0;
}

void limit(int resource, rlim_t soft, rlim_t hard)
{
    const rlimit r{soft, hard};
    setrlimit(resource, &r);
}

void setAlarm(double seconds)
{
    itimerval timer{};
    timer.it_value.tv_sec = time_t(seconds);
    timer.it_value.tv_usec = suseconds_t((seconds - double(time_t(seconds))) * 1e6);
    setitimer(ITIMER_PROF, &timer, nullptr);
}

struct Request {
    std::vector<int32_t> flags;
    std::vector<uint64_t> sizes;
};

bool readHeader(Request& request)
{
    char magic[4];
    uint32_t version = 0, count = 0;
    if (!readFully(magic, 4) || std::memcmp(magic, storage_probe::kMagic, 4) != 0 ||
        !readFully(&version, 4) || version != storage_probe::kVersion || !readFully(&count, 4) ||
        count > storage_probe::kMaxTexts)
        return false;
    request.flags.resize(count);
    request.sizes.resize(count);
    uint64_t total = 0;
    for (uint32_t i = 0; i < count; ++i) {
        if (!readFully(&request.flags[i], 4) || !readFully(&request.sizes[i], 8))
            return false;
        if (request.sizes[i] > storage_probe::kMaxRequestBytes - total)
            return false;
        total += request.sizes[i];
    }
    return true;
}

void limitResources(const Request& request)
{
    uint64_t total = 0, largest = 0;
    double seconds = 2.0; // starting up and reading the request
    for (const uint64_t size : request.sizes) {
        total += size;
        largest = std::max(largest, size);
        seconds += storage_probe::cpuSecondsFor(size);
    }
    rusage used{};
    getrusage(RUSAGE_SELF, &used);
    const double spent = double(used.ru_utime.tv_sec + used.ru_stime.tv_sec) + 1.0;
    const rlim_t cpu = rlim_t(std::ceil(spent + seconds));
    limit(RLIMIT_CPU, cpu, cpu + 1);
    const uint64_t now = addressSpaceNow();
    if (now > 0)
        limit(RLIMIT_AS, rlim_t(now + storage_probe::addressSpaceAllowance(largest, total)), RLIM_INFINITY);
}

bool reply(storage_probe::Verdict verdict, const std::string& message)
{
    const uint8_t code = uint8_t(verdict);
    const uint32_t length = uint32_t(std::min<size_t>(message.size(), 4096));
    return writeFully(&code, 1) && writeFully(&length, 4) && writeFully(message.data(), length);
}

} // namespace

int main()
{
    limit(RLIMIT_CORE, 0, 0);
    Request request;
    if (!readHeader(request))
        return 2;
    limitResources(request);
    if (!writeFully(storage_probe::kMagic, 4) || !writeFully(&storage_probe::kVersion, 4))
        return 2;

    std::vector<std::string> texts(request.sizes.size());
    for (size_t i = 0; i < texts.size(); ++i) {
        texts[i].resize(request.sizes[i]);
        if (!texts[i].empty() && !readFully(&texts[i][0], texts[i].size()))
            return 2;
    }
    for (size_t i = 0; i < texts.size(); ++i) {
        std::string message;
        cv::FileStorage fs;
        setAlarm(storage_probe::cpuSecondsFor(texts[i].size()));
        const storage_probe::Verdict verdict =
            storage_probe::parseAndVisit(fs, texts[i], request.flags[i], message);
        fs.release();
        setAlarm(0);
        std::string().swap(texts[i]);
        if (!reply(verdict, message))
            return 2;
    }
    return 0;
}
