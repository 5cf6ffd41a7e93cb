#include "files/decode.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <system_error>
#include <utility>

#include "files/declared_size.h"
#include "files/decode_protocol.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr char kDecoderName[] = "rugon-decode";

std::string errorText(int error) {
    return std::error_code(error, std::generic_category()).message();
}

// A descriptor closed when it goes out of scope.
struct Descriptor {
    int fd = -1;
    explicit Descriptor(int f = -1) : fd(f) {}
    ~Descriptor() { reset(); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    void reset(int f = -1) {
        if (fd >= 0) ::close(fd);
        fd = f;
    }
};

// Moves `fd` to a number above the decoder's descriptors 0 .. 3, so that placing the file and
// the pipe there cannot overwrite one with the other. Keeps close-on-exec.
bool moveAbove(Descriptor& d) {
    if (d.fd > kDecoderAnswerFd) return true;
    const int moved = fcntl(d.fd, F_DUPFD_CLOEXEC, kDecoderAnswerFd + 1);
    if (moved < 0) return false;
    d.reset(moved);
    return true;
}

bool executable(const std::string& path) {
    struct stat info;
    return !path.empty() && stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           access(path.c_str(), X_OK) == 0;
}

std::string folderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string secondsText(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", seconds);
    return text;
}

// How reading the answer ended.
enum class Read { kDone, kEnd, kTimeout, kError };

// Reads exactly `size` bytes from `fd` before `deadline`.
Read readExactly(int fd, unsigned char* out, size_t size, Clock::time_point deadline) {
    while (size > 0) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return Read::kTimeout;
        struct pollfd waiting = {fd, POLLIN, 0};
        const int ready =
            poll(&waiting, 1, static_cast<int>(std::min<int64_t>(left.count(), 60000)));
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return Read::kError;
        if (ready == 0) continue;
        const ssize_t got = ::read(fd, out, size);
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (got < 0) return Read::kError;
        if (got == 0) return Read::kEnd;
        out += got;
        size -= static_cast<size_t>(got);
    }
    return Read::kDone;
}

// The pixel format as a short text: "8-bit grey", "24-bit RGB", "96-bit float RGB".
std::string formatText(const DecodeAnswer& answer) {
    static const char* const kKinds[] = {"",    "grey", "grey and alpha", "palette",
                                         "RGB", "RGBA", "alpha"};
    std::string text = std::to_string(answer.bitsPerPixel) + "-bit ";
    if (answer.floating != 0) text += "float ";
    text += kKinds[answer.pixelKind];
    // 16-bit data in fewer bits (a 12-bit detector, an 8-bit picture saved as 16 bits).
    if (answer.usedBits > 0 && answer.usedBits < 16)
        text += ", values in " + std::to_string(answer.usedBits) + " bits";
    return text;
}

// True when every field of a picture answer lies in its range and agrees with the others.
bool validPicture(const DecodeAnswer& a, const DecodeLimits& limits) {
    return a.width >= 1 && a.height >= 1 && a.width <= kDecoderLongestSide &&
           a.height <= kDecoderLongestSide && a.width * a.height <= limits.maxPixels &&
           a.pixels == a.width * a.height && a.byteCount == static_cast<uint64_t>(a.pixels) &&
           a.topRowFirst <= 1 && a.floating <= 1 &&
           a.fileType <= static_cast<uint32_t>(ImageFileType::kIco) && a.pixelKind >= 1 &&
           a.pixelKind < static_cast<uint32_t>(PixelKind::kCount) && a.bitsPerPixel >= 8 &&
           a.bitsPerPixel <= 256 && a.bitsPerPixel % 8 == 0 && a.usedBits <= 16 &&
           (a.usedBits == 0 || (a.floating == 0 && a.bitsPerPixel % 16 == 0)) &&
           a.lowest16 <= a.highest16 && a.highest16 <= 65535 && a.lowest16 <= a.low16 &&
           a.low16 <= a.high16 && a.high16 <= a.highest16 && a.base16 <= a.high16 && a.shift16 <= 8;
}

// The reason of an answer without picture; empty when the answer is malformed.
std::string refusalText(const DecodeAnswer& a, const DecodeLimits& limits) {
    const auto outcome = static_cast<DecodeOutcome>(a.outcome);
    switch (outcome) {
        case DecodeOutcome::kNotAnImage:
            return "not an image the decoder can read";
        case DecodeOutcome::kTooLarge: {
            if (a.width < 0 || a.height < 0 || a.pixels < 0) return "";
            std::string size = "picture of " + std::to_string(a.width) + " x " +
                               std::to_string(a.height) + " pixels";
            // A volume declares its slices too.
            const int64_t area =
                a.width <= INT32_MAX && a.height <= INT32_MAX ? a.width * a.height : 0;
            if (area > 0 && a.pixels > area && a.pixels % area == 0)
                size += " in " + std::to_string(a.pixels / area) + " slices";
            if (a.width > kDecoderLongestSide || a.height > kDecoderLongestSide)
                return size + " is wider or taller than " + std::to_string(kDecoderLongestSide) +
                       " pixels";
            return size + " is larger than the limit of " + std::to_string(limits.maxPixels) +
                   " pixels";
        }
        case DecodeOutcome::kPaletteShort:
            return "palette shorter than the indices it uses";
        case DecodeOutcome::kFileFault: {
            if (a.fault == 0 || a.fault >= static_cast<uint32_t>(FileFault::kCount) ||
                a.fileType > static_cast<uint32_t>(ImageFileType::kIco))
                return "";
            const std::string type = imageFileTypeName(static_cast<ImageFileType>(a.fileType));
            return "damaged " + (type.empty() ? std::string() : type + " ") +
                   "file: " + fileFaultText(static_cast<FileFault>(a.fault));
        }
        case DecodeOutcome::kOutOfMemory:
            return "the image decoder exceeded the memory limit";
        case DecodeOutcome::kBadRequest:
            return "the image decoder could not prepare its sandbox";
        case DecodeOutcome::kSampleFormat: {
            const std::string kind = tiffSampleFormatName(static_cast<int32_t>(a.fault));
            if (kind.empty() || a.bitsPerPixel == 0 || a.bitsPerPixel > 128) return "";
            return "TIFF of " + std::to_string(a.bitsPerPixel) + "-bit " + kind +
                   " samples: only unsigned integer grey levels are read (save it with 8 or 16 "
                   "bits, unsigned)";
        }
        case DecodeOutcome::kBmpVersion: {
            if (a.fault < 16 || a.fault > 65536) return "";
            const char* name = a.fault == 108   ? " (BITMAPV4HEADER)"
                               : a.fault == 124 ? " (BITMAPV5HEADER)"
                                                : "";
            return "BMP with a " + std::to_string(a.fault) + "-byte info header" + name +
                   ": the image decoder reads only the 40-byte BITMAPINFOHEADER (save it as "
                   "PNG or TIFF, or as BMP3)";
        }
        case DecodeOutcome::kPnmSixteenBit:
            return "PNM file of 16-bit samples: the image decoder reads 8-bit PNM files only "
                   "(save it as 16-bit PNG or TIFF)";
        case DecodeOutcome::kPicture:
        case DecodeOutcome::kCount:
            break;
    }
    return "";
}

// Opens `path` for the decoder: a regular, non-empty file. False with `reason` otherwise.
bool openImage(const std::string& path, Descriptor& file, std::string& reason) {
    // Without blocking: opening a named pipe must not wait for a writer.
    file.reset(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (file.fd < 0) {
        reason = errno == ENOENT ? "file not found" : "cannot be opened: " + errorText(errno);
        return false;
    }
    struct stat info;
    if (fstat(file.fd, &info) != 0) {
        reason = "cannot be opened: " + errorText(errno);
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        reason = "not a regular file";
        return false;
    }
    if (info.st_size == 0) {
        reason = "empty file";
        return false;
    }
    const int flags = fcntl(file.fd, F_GETFL);
    if (flags >= 0) fcntl(file.fd, F_SETFL, flags & ~O_NONBLOCK);
    return moveAbove(file);
}

// Starts the decoder on `file` with its answer going to `answerFd`. False with `reason`.
bool startDecoder(const std::string& decoder,
                  const std::string& path,
                  const DecodeLimits& limits,
                  int file,
                  int answerFd,
                  pid_t& pid,
                  std::string& reason) {
    int64_t memory = limits.memoryBytes;
    if (memory <= 0) {
        const int64_t perPixel = kDecoderLargestBytes / kDecoderBytesPerPixel;
        memory = limits.maxPixels < perPixel
                     ? kDecoderBaseBytes + kDecoderBytesPerPixel * limits.maxPixels
                     : kDecoderLargestBytes;
        if (memory > kDecoderLargestBytes) memory = kDecoderLargestBytes;
    }
    const int64_t seconds = static_cast<int64_t>(std::ceil(limits.timeoutSeconds));
    const std::string arguments[] = {decoder, std::to_string(limits.maxPixels),
                                     std::to_string(seconds > 0 ? seconds : 1),
                                     std::to_string(memory), path};
    char* argv[kDecoderArgumentCount + 1];
    for (int i = 0; i < kDecoderArgumentCount; ++i)
        argv[i] = const_cast<char*>(arguments[i].c_str());
    argv[kDecoderArgumentCount] = nullptr;
    char* environment[] = {nullptr};

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    if (posix_spawn_file_actions_init(&actions) != 0) {
        reason = "the image decoder could not be started";
        return false;
    }
    if (posix_spawnattr_init(&attributes) != 0) {
        posix_spawn_file_actions_destroy(&actions);
        reason = "the image decoder could not be started";
        return false;
    }
    // The file as standard input, nothing on standard output, the answer pipe as descriptor
    // 3, standard error shared for the library's messages; every other descriptor closed.
    posix_spawn_file_actions_adddup2(&actions, file, kDecoderFileFd);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, answerFd, kDecoderAnswerFd);
    posix_spawn_file_actions_addclosefrom_np(&actions, kDecoderAnswerFd + 1);
    // Default signal handling and no blocked signal, whatever this process (or a thread of
    // it) has set.
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    sigdelset(&all, SIGKILL);
    sigdelset(&all, SIGSTOP);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    const int error = posix_spawn(&pid, decoder.c_str(), &actions, &attributes, argv, environment);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        reason = "the image decoder could not be started: " + errorText(error);
        return false;
    }
    return true;
}

// Waits for exactly the child `pid`, which has closed its answer or been killed; one still
// running at `deadline` is killed (`killed`). `status` and `peakKib` stay as given when the
// child cannot be waited for (a caller with SIGCHLD ignored has it reaped already).
bool waitFor(pid_t pid, Clock::time_point deadline, int& status, int64_t& peakKib, bool& killed) {
    struct rusage usage;
    std::memset(&usage, 0, sizeof usage);
    // The child ends right after its answer: a few short naps, growing, until it has.
    auto nap = std::chrono::microseconds(20);
    int options = WNOHANG;
    for (;;) {
        const pid_t got = wait4(pid, &status, options, &usage);
        if (got == pid) {
            peakKib = usage.ru_maxrss;
            return true;
        }
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return false;
        if (Clock::now() >= deadline) {
            kill(pid, SIGKILL);
            killed = true;
            options = 0;
            continue;
        }
        struct timespec pause = {0, static_cast<long>(nap.count() * 1000)};
        nanosleep(&pause, nullptr);
        if (nap < std::chrono::milliseconds(10)) nap *= 2;
    }
}

}  // namespace

std::string findImageDecoder(const DecodeLimits& limits) {
    if (!limits.decoder.empty()) return executable(limits.decoder) ? limits.decoder : "";
    const char* variable = std::getenv("RUGON_DECODER");
    if (variable != nullptr && *variable != '\0') return executable(variable) ? variable : "";
    // Next to the shared object that holds this code (a Python module), when it is not the
    // program itself; then next to the program.
    char program[4096];
    const ssize_t length = readlink("/proc/self/exe", program, sizeof program - 1);
    const std::string self = length > 0 ? std::string(program, static_cast<size_t>(length)) : "";
    Dl_info where;
    if (dladdr(reinterpret_cast<void*>(&findImageDecoder), &where) != 0 &&
        where.dli_fname != nullptr && where.dli_fname[0] == '/' && self != where.dli_fname) {
        const std::string candidate = folderOf(where.dli_fname) + kDecoderName;
        if (executable(candidate)) return candidate;
    }
    if (!self.empty()) {
        const std::string candidate = folderOf(self) + kDecoderName;
        if (executable(candidate)) return candidate;
    }
#ifdef RUGON_DECODER_BUILD_PATH
    if (executable(RUGON_DECODER_BUILD_PATH)) return RUGON_DECODER_BUILD_PATH;
#endif
    return "";
}

bool decodeImageFile(const std::string& path,
                     const DecodeLimits& limits,
                     GreyImage& grid,
                     LoadedImageInfo& info,
                     std::string& reason) {
    reason.clear();
    if (limits.maxPixels < 1 || !(limits.timeoutSeconds > 0.0)) {
        reason = "the decoding limits are not valid";
        return false;
    }
    Descriptor file;
    if (!openImage(path, file, reason)) return false;
    const std::string decoder = findImageDecoder(limits);
    if (decoder.empty()) {
        reason = std::string("the image decoder (") + kDecoderName +
                 ") was not found; set RUGON_DECODER to its path";
        return false;
    }
    int pipeEnds[2];
    if (pipe2(pipeEnds, O_CLOEXEC) != 0) {
        reason = "the image decoder could not be started: " + errorText(errno);
        return false;
    }
    Descriptor answerIn(pipeEnds[0]);
    Descriptor answerOut(pipeEnds[1]);
    // A pipe of 1 MiB (the most an unprivileged process may ask for) passes a picture in
    // fewer turns between the two processes; the default 64 KiB is kept if refused.
    fcntl(answerIn.fd, F_SETPIPE_SZ, 1 << 20);
    if (!moveAbove(answerOut)) {
        reason = "the image decoder could not be started: " + errorText(errno);
        return false;
    }
    pid_t pid = -1;
    const Clock::time_point deadline =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(
                           std::chrono::duration<double>(limits.timeoutSeconds));
    if (!startDecoder(decoder, path, limits, file.fd, answerOut.fd, pid, reason)) return false;
    file.reset();
    answerOut.reset();

    // The answer: its fixed part, then for a picture exactly the announced bytes, converted as
    // they arrive; then the end of the pipe.
    DecodeAnswer answer;
    Read read = readExactly(answerIn.fd, reinterpret_cast<unsigned char*>(&answer), sizeof answer,
                            deadline);
    bool wellFormed = read == Read::kDone && answer.magic == kDecodeAnswerMagic &&
                      answer.outcome >= static_cast<uint32_t>(DecodeOutcome::kPicture) &&
                      answer.outcome < static_cast<uint32_t>(DecodeOutcome::kCount);
    const bool picture =
        wellFormed && answer.outcome == static_cast<uint32_t>(DecodeOutcome::kPicture);
    std::string refusal;
    if (picture) {
        wellFormed = validPicture(answer, limits);
    } else if (wellFormed) {
        refusal = refusalText(answer, limits);
        wellFormed = !refusal.empty() && answer.byteCount == 0;
    }
    GreyImage loaded;
    bool stored = true;
    if (picture && wellFormed) {
        stored = loaded.allocate(static_cast<int32_t>(answer.width),
                                 static_cast<int32_t>(answer.height));
        constexpr size_t kPiece = size_t{1} << 16;
        unsigned char piece[kPiece];
        const size_t count = static_cast<size_t>(answer.byteCount);
        for (size_t start = 0; stored && start < count && read == Read::kDone; start += kPiece) {
            const size_t n = count - start < kPiece ? count - start : kPiece;
            read = readExactly(answerIn.fd, piece, n, deadline);
            if (read != Read::kDone) break;
            for (size_t i = 0; i < n; ++i) loaded.data[start + i] = piece[i];
        }
    }
    bool ended = read == Read::kEnd;
    if (read == Read::kDone && stored && wellFormed) {
        unsigned char extra = 0;
        const Read last = readExactly(answerIn.fd, &extra, 1, deadline);
        ended = last == Read::kEnd;
        // Anything after the announced bytes makes the answer malformed.
        if (last == Read::kDone) wellFormed = false;
        if (last == Read::kTimeout || last == Read::kError) read = last;
    }
    bool timedOut = read == Read::kTimeout;
    // A decoder whose answer is not wholly read (overrun, malformed, or not wanted) is stopped;
    // its end by that signal is then no crash.
    const bool stopped = !ended;
    if (stopped) kill(pid, SIGKILL);
    answerIn.reset();
    int status = 0;
    int64_t peakKib = 0;
    bool killed = false;
    const bool waited = waitFor(pid, deadline, status, peakKib, killed);
    if (killed && ended) timedOut = true;

    if (timedOut) {
        reason = "the image decoder took longer than " + secondsText(limits.timeoutSeconds) + " s";
        return false;
    }
    if (waited && WIFSIGNALED(status) && !(stopped && WTERMSIG(status) == SIGKILL)) {
        const int signal = WTERMSIG(status);
        if (signal == SIGXCPU) {
            reason = "the image decoder took longer than " + secondsText(limits.timeoutSeconds) +
                     " s of processor time";
        } else {
            reason = "the image decoder crashed (signal " + std::to_string(signal) + ")";
        }
        return false;
    }
    if (!stored) {
        reason = "not enough memory for a picture of " + std::to_string(answer.width) + " x " +
                 std::to_string(answer.height) + " pixels";
        return false;
    }
    if (waited && WIFEXITED(status) && WEXITSTATUS(status) != 0) {
        reason =
            "the image decoder failed (exit status " + std::to_string(WEXITSTATUS(status)) + ")";
        return false;
    }
    if (read != Read::kDone || !wellFormed) {
        reason = "the image decoder gave a malformed answer";
        return false;
    }
    if (!picture) {
        reason = refusal;
        return false;
    }
    grid = std::move(loaded);
    info.topRowFirst = answer.topRowFirst == 1;
    info.format = formatText(answer);
    info.fileType = imageFileTypeName(static_cast<ImageFileType>(answer.fileType));
    info.decoderPeakKib = peakKib;
    info.pictures = static_cast<int32_t>(answer.pictures);
    if (answer.usedBits > 0) {
        info.sixteenBitLowest = static_cast<int32_t>(answer.lowest16);
        info.sixteenBitHighest = static_cast<int32_t>(answer.highest16);
        info.sixteenBit.base = answer.base16;
        info.sixteenBit.shift = static_cast<int>(answer.shift16);
        info.sixteenBit.low = answer.low16;
        info.sixteenBit.high = answer.high16;
    }
    return true;
}
