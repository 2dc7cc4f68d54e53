#pragma once

// The probe parse of the file checker and the messages it exchanges with the
// program (see file_storage_guard.h for the design). This part is compiled
// both into the program and into the checker "tessimo_storage_check", so it
// uses nothing but OpenCV's core and the standard library.
//
// Request, written by the program to the checker's standard input (native
// byte order, one machine):
//   "TSCK", uint32 version, uint32 count,
//   count x { int32 FileStorage format flag, uint64 size in bytes },
//   then the count texts, one after the other.
// Reply, written by the checker to its standard output:
//   "TSCK", uint32 version, as soon as the request's header was accepted;
//   then per text, in order and as soon as that text was parsed:
//   uint8 verdict, uint32 message length, the message (OpenCV's error text).
// The checker ends after the last reply. A text whose reply never comes made
// the checker end: its CPU-time limit ran out (the parser did not finish) or
// the parser crashed it.

#include <opencv2/core/persistence.hpp>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <string>

namespace storage_probe {

// File name of the checker program, which lies next to the program.
constexpr const char* kCheckerName = "tessimo_storage_check";

constexpr char kMagic[4] = {'T', 'S', 'C', 'K'};
constexpr uint32_t kVersion = 1;

// Largest request the checker takes: the texts together (bytes).
constexpr uint64_t kMaxRequestBytes = uint64_t(1) << 30;
// Most texts in one request.
constexpr uint32_t kMaxTexts = 1u << 20;

// Outcome of parsing one text.
enum class Verdict : uint8_t {
    Ok = 0,          // parsed, and every node could be read
    NotOpened = 1,   // the parser gave up without an error
    OpenCvError = 2, // the parser raised a cv::Exception; the message is its text
    Threw = 3,       // the parser threw something else
    OutOfMemory = 4, // the parse needed more memory than the checker may use
};

// Processor time the checker may spend on one text: a floor that no small
// file comes near, plus one second per MiB. OpenCV's parser reads even its
// slowest valid input (maps of a million short keys) at about 6 MB/s of
// processor time, so a valid file uses at most a fifth of its allowance.
double cpuSecondsFor(uint64_t textBytes);

// Address space the checker may add to what it has when it starts: room for
// the request it holds and for the parser's tree of the largest text (the
// tree takes up to about 11 times the text; 24 times is allowed).
uint64_t addressSpaceAllowance(uint64_t largestText, uint64_t requestBytes);

// Opens `text` in `fs` as OpenCV's FileStorage reads a file in memory and
// visits every node (reading every string and number), so that a fault
// anywhere in the parser shows up here. Never throws; `message` receives
// OpenCV's error text for OpenCvError.
Verdict parseAndVisit(cv::FileStorage& fs, const std::string& text, int formatFlag, std::string& message);

// Moves `size` bytes between `data` and a descriptor through `transfer`, a
// call like read, write, send or recv on that descriptor taking (pointer,
// count) and returning the bytes moved, repeating it after a short transfer
// or a signal. False when the descriptor ends or fails first.
template <class Byte, class Transfer> bool transferFully(Byte* data, size_t size, Transfer transfer)
{
    static_assert(sizeof(Byte) == 1, "transferFully moves bytes");
    while (size > 0) {
        const auto n = transfer(data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= size_t(n);
    }
    return true;
}

} // namespace storage_probe
