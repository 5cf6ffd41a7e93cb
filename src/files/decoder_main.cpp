// rugon-decode: decodes one image file for decodeImageFile under the limits it is started with
// and writes the grey levels back. It runs as a short-lived child process: the file comes open
// as descriptor 0, the answer goes to descriptor 3. Before it reads a byte of the file it
// limits its own memory, processor time and files, and enters a sandbox in which it can open
// no file, start no process and write nowhere but to its answer and its standard error.
#include <IL/il.h>
#include <fcntl.h>
#include <seccomp.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "files/declared_size.h"
#include "files/decode_protocol.h"
#include "files/sixteen_bit.h"

// The library's own file procedures: exported, though its header does not declare them.
extern "C" {
ILboolean ILAPIENTRY iDefaultEof(ILHANDLE handle);
ILint ILAPIENTRY iDefaultGetc(ILHANDLE handle);
ILint ILAPIENTRY iDefaultRead(void* buffer, ILuint size, ILuint number, ILHANDLE handle);
ILint ILAPIENTRY iDefaultRSeek(ILHANDLE handle, ILint offset, ILint mode);
ILint ILAPIENTRY iDefaultRTell(ILHANDLE handle);
}

namespace {

// The image file, read through the library's own procedures; the decoder is one process with
// one thread, and the library's callbacks carry no user data.
std::FILE* gFile = nullptr;
// Set when an allocation of the library failed (the memory limit was reached).
bool gAllocationFailed = false;

// In place of opening `name`: the open file from its start, as a fresh open would give it.
ILHANDLE ILAPIENTRY openTheFile(ILconst_string) {
    if (gFile != nullptr) std::rewind(gFile);
    return gFile;
}

void ILAPIENTRY keepTheFile(ILHANDLE) {}

// The library's storage comes zeroed, so that a damaged file which leaves part of a buffer
// unwritten gives the same picture in every build instead of whatever the memory held.
void* ILAPIENTRY zeroedStorage(const ILsizei size) {
    void* storage = std::calloc(1, size > 0 ? size : 1);
    if (storage == nullptr) gAllocationFailed = true;
    return storage;
}

// Why the library gave no usable picture: its memory ran out, or the file is not one it reads.
// (It can report success with an empty picture when an allocation failed.)
DecodeOutcome unreadable() {
    return gAllocationFailed ? DecodeOutcome::kOutOfMemory : DecodeOutcome::kNotAnImage;
}

void ILAPIENTRY releaseStorage(const void* const storage) { std::free(const_cast<void*>(storage)); }

bool writeAll(const void* data, size_t size) {
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    while (size > 0) {
        const ssize_t written = ::write(kDecoderAnswerFd, bytes, size);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        bytes += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

// Writes an answer without picture and ends the process.
[[noreturn]] void answer(DecodeAnswer reply, DecodeOutcome outcome) {
    reply.magic = kDecodeAnswerMagic;
    reply.outcome = static_cast<uint32_t>(outcome);
    reply.byteCount = 0;
    _exit(writeAll(&reply, sizeof reply) ? 0 : 1);
}

// The answer under way, for the allocation failure handler.
DecodeAnswer gReply;

void outOfMemory() { answer(gReply, DecodeOutcome::kOutOfMemory); }

bool parseCount(const char* text, int64_t& value) {
    if (text == nullptr || *text == '\0') return false;
    char* end = nullptr;
    errno = 0;
    const long long parsed = std::strtoll(text, &end, 10);
    if (errno != 0 || *end != '\0' || parsed < 1) return false;
    value = parsed;
    return true;
}

// Sets a limit; the hard limit is the soft one unless given (processor time: a SIGXCPU first).
bool setLimit(int resource, rlim_t value, rlim_t hard = RLIM_INFINITY) {
    const struct rlimit limit = {value, hard == RLIM_INFINITY ? value : hard};
    return setrlimit(resource, &limit) == 0;
}

// Argument `index` of a system call compared with `value` (under `mask` for SCMP_CMP_MASKED_EQ).
scmp_arg_cmp argument(unsigned index, scmp_compare compare, scmp_datum_t value, scmp_datum_t mask) {
    return scmp_arg_cmp{index, compare, compare == SCMP_CMP_MASKED_EQ ? mask : value,
                        compare == SCMP_CMP_MASKED_EQ ? value : 0};
}

// Allows only what decoding needs once the file is open: reading it, memory, writing the
// answer and messages, the process's own end. Anything else ends the process (SIGSYS).
bool enterSandbox() {
    scmp_filter_ctx filter = seccomp_init(SCMP_ACT_KILL_PROCESS);
    if (filter == nullptr) return false;
    const pid_t self = getpid();
    const int plain[] = {
        SCMP_SYS(read),          SCMP_SYS(pread64),        SCMP_SYS(readv),
        SCMP_SYS(lseek),         SCMP_SYS(fstat),          SCMP_SYS(newfstatat),
        SCMP_SYS(munmap),        SCMP_SYS(mremap),         SCMP_SYS(brk),
        SCMP_SYS(madvise),       SCMP_SYS(exit),           SCMP_SYS(exit_group),
        SCMP_SYS(rt_sigreturn),  SCMP_SYS(rt_sigprocmask), SCMP_SYS(rt_sigaction),
        SCMP_SYS(getpid),        SCMP_SYS(gettid),         SCMP_SYS(futex),
        SCMP_SYS(clock_gettime), SCMP_SYS(getrandom),      SCMP_SYS(close),
        SCMP_SYS(sysinfo),
    };
    bool ok = true;
    for (int call : plain) ok = ok && seccomp_rule_add(filter, SCMP_ACT_ALLOW, call, 0) == 0;
    // Memory, never executable.
    ok = ok && seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(mmap), 1,
                                argument(2, SCMP_CMP_MASKED_EQ, 0, PROT_EXEC)) == 0;
    ok = ok && seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(mprotect), 1,
                                argument(2, SCMP_CMP_MASKED_EQ, 0, PROT_EXEC)) == 0;
    // Writing: the answer, and standard output and error (messages of the libraries).
    for (int fd : {1, 2, kDecoderAnswerFd}) {
        ok =
            ok && seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(write), 1,
                                   argument(0, SCMP_CMP_EQ, static_cast<scmp_datum_t>(fd), 0)) == 0;
        ok =
            ok && seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(writev), 1,
                                   argument(0, SCMP_CMP_EQ, static_cast<scmp_datum_t>(fd), 0)) == 0;
    }
    // Lowering its own limits; a signal only to itself (abort).
    ok = ok && seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(prlimit64), 1,
                                argument(0, SCMP_CMP_EQ, 0, 0)) == 0;
    ok = ok && seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(tgkill), 1,
                                argument(0, SCMP_CMP_EQ, static_cast<scmp_datum_t>(self), 0)) == 0;
    // The C library asks whether standard output is a terminal.
    ok = ok && seccomp_rule_add(filter, SCMP_ACT_ERRNO(ENOTTY), SCMP_SYS(ioctl), 0) == 0;
    ok = ok && seccomp_load(filter) == 0;
    seccomp_release(filter);
    return ok;
}

// How the library delivered the bound picture.
void describePixels(DecodeAnswer& reply) {
    const ILint format = ilGetInteger(IL_IMAGE_FORMAT);
    const ILint type = ilGetInteger(IL_IMAGE_TYPE);
    PixelKind kind = PixelKind::kGrey;
    switch (format) {
        case IL_COLOUR_INDEX:
            kind = PixelKind::kPalette;
            break;
        case IL_LUMINANCE_ALPHA:
            kind = PixelKind::kGreyAlpha;
            break;
        case IL_RGB:
        case IL_BGR:
            kind = PixelKind::kRgb;
            break;
        case IL_RGBA:
        case IL_BGRA:
            kind = PixelKind::kRgba;
            break;
        case IL_ALPHA:
            kind = PixelKind::kAlpha;
            break;
        default:
            break;
    }
    reply.pixelKind = static_cast<uint32_t>(kind);
    reply.bitsPerPixel = static_cast<uint32_t>(ilGetInteger(IL_IMAGE_BYTES_PER_PIXEL)) * 8u;
    reply.floating = type == IL_FLOAT || type == IL_DOUBLE || type == IL_HALF;
}

// Checks the bound picture's size against the limits: kCount when it may be stored, else the
// outcome to answer.
DecodeOutcome checkSize(int64_t maxPixels, DecodeAnswer& reply) {
    const int64_t width = ilGetInteger(IL_IMAGE_WIDTH);
    const int64_t height = ilGetInteger(IL_IMAGE_HEIGHT);
    const int64_t bytesPerPixel = ilGetInteger(IL_IMAGE_BYTES_PER_PIXEL);
    if (width < 1 || height < 1 || bytesPerPixel < 1 || bytesPerPixel > 32) return unreadable();
    if (width > kDecoderLongestSide || height > kDecoderLongestSide || width * height > maxPixels) {
        reply.width = width;
        reply.height = height;
        reply.pixels = width * height;
        return DecodeOutcome::kTooLarge;
    }
    return DecodeOutcome::kCount;
}

// True when every palette index of the bound picture names a colour of its palette.
bool paletteCoversIndices() {
    const int64_t colours = ilGetInteger(IL_PALETTE_NUM_COLS);
    const int64_t pixels =
        int64_t{ilGetInteger(IL_IMAGE_WIDTH)} * int64_t{ilGetInteger(IL_IMAGE_HEIGHT)};
    const ILubyte* indices = ilGetData();
    if (colours < 1 || ilGetPalette() == nullptr || indices == nullptr) return false;
    if (ilGetInteger(IL_IMAGE_BYTES_PER_PIXEL) != 1) return false;
    if (ilGetInteger(IL_IMAGE_SIZE_OF_DATA) < pixels) return false;
    unsigned largest = 0;
    for (int64_t i = 0; i < pixels; ++i)
        if (indices[i] > largest) largest = indices[i];
    return largest < colours;
}

// Brings the bound image to a layout whose pixels start with a grey level byte or a 16-bit
// grey level: palette images are expanded to their red-green-blue colours, and channel types
// other than 8- and 16-bit integers are converted to unsigned bytes. 8-bit and 16-bit files
// are left exactly as the library delivered them.
bool bringToByteOrShortLayout() {
    const ILint format = ilGetInteger(IL_IMAGE_FORMAT);
    const ILint type = ilGetInteger(IL_IMAGE_TYPE);
    if (format == IL_COLOUR_INDEX) {
        // Converting a palette image straight to luminance crashes DevIL 1.7.8; the red-green-
        // blue expansion keeps the row order and gives the palette colour's first channel.
        return ilConvertImage(IL_RGB, IL_UNSIGNED_BYTE) == IL_TRUE;
    }
    if (type == IL_UNSIGNED_BYTE || type == IL_BYTE || type == IL_UNSIGNED_SHORT) return true;
    return ilConvertImage(static_cast<ILenum>(format), IL_UNSIGNED_BYTE) == IL_TRUE;
}

}  // namespace

int main(int argc, char** argv) {
    // Descriptors the parent left open by mistake would reach whatever it had opened.
    close_range(kDecoderAnswerFd + 1, ~0u, 0);
    gReply.magic = kDecodeAnswerMagic;
    int64_t maxPixels = 0;
    int64_t seconds = 0;
    int64_t memoryBytes = 0;
    struct stat file;
    if (argc != kDecoderArgumentCount || !parseCount(argv[1], maxPixels) ||
        !parseCount(argv[2], seconds) || !parseCount(argv[3], memoryBytes) ||
        fstat(kDecoderFileFd, &file) != 0 || !S_ISREG(file.st_mode))
        answer(gReply, DecodeOutcome::kBadRequest);
    const std::string name = argv[4];
    const size_t fileSize = static_cast<size_t>(file.st_size);

    // The file is mapped once for reading its headers: its length counts until it is unmapped.
    const int64_t mapped = static_cast<int64_t>(fileSize);
    if (!setLimit(RLIMIT_CORE, 0) || !setLimit(RLIMIT_FSIZE, 0) ||
        !setLimit(RLIMIT_NOFILE, kDecoderAnswerFd + 1) ||
        !setLimit(RLIMIT_CPU, static_cast<rlim_t>(seconds), static_cast<rlim_t>(seconds) + 1) ||
        !setLimit(RLIMIT_AS, memoryBytes < INT64_MAX - mapped
                                 ? static_cast<rlim_t>(memoryBytes + mapped)
                                 : RLIM_INFINITY))
        answer(gReply, DecodeOutcome::kBadRequest);
    std::set_new_handler(outOfMemory);

    ilSetMemory(zeroedStorage, releaseStorage);
    ilInit();
    gFile = fdopen(kDecoderFileFd, "rb");
    if (gFile == nullptr) answer(gReply, DecodeOutcome::kBadRequest);
    ilSetRead(openTheFile, keepTheFile, iDefaultEof, iDefaultGetc, iDefaultRead, iDefaultRSeek,
              iDefaultRTell);
    if (!enterSandbox()) answer(gReply, DecodeOutcome::kBadRequest);

    // What the headers declare, before the library allocates for it.
    if (fileSize == 0) answer(gReply, DecodeOutcome::kNotAnImage);
    void* bytes = mmap(nullptr, fileSize, PROT_READ, MAP_PRIVATE, kDecoderFileFd, 0);
    if (bytes == MAP_FAILED) answer(gReply, DecodeOutcome::kOutOfMemory);
    const DeclaredSize declared =
        readDeclaredSize(static_cast<const unsigned char*>(bytes), fileSize, name);
    munmap(bytes, fileSize);
    gReply.fileType = static_cast<uint32_t>(declared.type);
    gReply.pictures = static_cast<uint32_t>(declared.pictures > 0 ? declared.pictures : 0);
    if (declared.largestPixels > maxPixels || declared.width > kDecoderLongestSide ||
        declared.height > kDecoderLongestSide) {
        gReply.width = declared.width;
        gReply.height = declared.height;
        gReply.pixels = declared.largestPixels;
        answer(gReply, DecodeOutcome::kTooLarge);
    }
    if (declared.fault != FileFault::kNone) {
        gReply.fault = static_cast<uint32_t>(declared.fault);
        answer(gReply, DecodeOutcome::kFileFault);
    }
    if (declared.type == ImageFileType::kPnm && declared.bitsPerSample == 16)
        answer(gReply, DecodeOutcome::kPnmSixteenBit);
    if (!samplesReadAsUnsigned(declared)) {
        gReply.fault = static_cast<uint32_t>(declared.sampleFormat);
        gReply.bitsPerPixel = static_cast<uint32_t>(declared.bitsPerSample);
        answer(gReply, DecodeOutcome::kSampleFormat);
    }
    // Memory for what the file declares; the full limit for a format whose size is not read.
    if (declared.type != ImageFileType::kUnknown) {
        const int64_t pixels = declared.totalPixels < maxPixels ? declared.totalPixels : maxPixels;
        if (pixels < (memoryBytes - kDecoderBaseBytes) / kDecoderBytesPerPixel)
            memoryBytes = kDecoderBaseBytes + kDecoderBytesPerPixel * pixels;
    }
    setLimit(RLIMIT_AS, static_cast<rlim_t>(memoryBytes));

    ILuint image = 0;
    ilGenImages(1, &image);
    ilBindImage(image);
    if (ilLoadImage(name.c_str()) != IL_TRUE) {
        // DevIL reads the 40-byte BITMAPINFOHEADER only; the later versions (as ImageMagick and
        // GIMP write them) are said by name, so that the user knows what to save instead.
        if (!gAllocationFailed && declared.type == ImageFileType::kBmp &&
            declared.bmpInfoBytes != 40 && declared.bmpInfoBytes != 12) {
            gReply.fault = static_cast<uint32_t>(declared.bmpInfoBytes);
            answer(gReply, DecodeOutcome::kBmpVersion);
        }
        answer(gReply, unreadable());
    }
    gReply.topRowFirst = ilGetInteger(IL_IMAGE_ORIGIN) == IL_ORIGIN_UPPER_LEFT ? 1 : 0;
    describePixels(gReply);
    // The sizes are checked before any conversion, which would allocate for them.
    DecodeOutcome outcome = checkSize(maxPixels, gReply);
    if (outcome != DecodeOutcome::kCount) answer(gReply, outcome);
    if (ilGetInteger(IL_IMAGE_FORMAT) == IL_COLOUR_INDEX && !paletteCoversIndices())
        answer(gReply, DecodeOutcome::kPaletteShort);
    if (!bringToByteOrShortLayout()) answer(gReply, unreadable());
    outcome = checkSize(maxPixels, gReply);
    if (outcome != DecodeOutcome::kCount) answer(gReply, outcome);

    const int64_t width = ilGetInteger(IL_IMAGE_WIDTH);
    const int64_t height = ilGetInteger(IL_IMAGE_HEIGHT);
    const int64_t bytesPerPixel = ilGetInteger(IL_IMAGE_BYTES_PER_PIXEL);
    const int64_t bytesPerChannel = ilGetInteger(IL_IMAGE_BPC);
    const int64_t dataSize = ilGetInteger(IL_IMAGE_SIZE_OF_DATA);
    const unsigned char* data = ilGetData();
    // The channel size must agree with the channel type: DevIL 1.7.8 reports 16-bit PNM files
    // as 16-bit but fills one byte per pixel with half of the file's samples.
    const ILint type = ilGetInteger(IL_IMAGE_TYPE);
    const int64_t typeBytes = type == IL_UNSIGNED_SHORT ? 2 : 1;
    const int64_t pixels = width * height;
    if (bytesPerChannel != typeBytes || bytesPerChannel > bytesPerPixel || data == nullptr ||
        dataSize < pixels * bytesPerPixel)
        answer(gReply, unreadable());

    // One grey level per pixel: the first byte of each pixel for 8-bit data; for 16-bit data,
    // stored in the machine's byte order, the first value brought to the 0..255 scale of an
    // 8-bit file as sixteenBitReduction says (files/sixteen_bit.h). Written in pieces, so that
    // no second copy of the picture is held.
    const size_t count = static_cast<size_t>(pixels);
    const size_t stride = static_cast<size_t>(bytesPerPixel);
    SixteenBitReduction reduction;
    if (bytesPerChannel == 2) {
        static uint64_t histogram[65536];
        uint16_t largest = 0;
        uint16_t smallest = 65535;
        for (size_t i = 0; i < count; ++i) {
            uint16_t value = 0;
            std::memcpy(&value, data + i * stride, sizeof value);
            ++histogram[value];
            if (value > largest) largest = value;
            if (value < smallest) smallest = value;
        }
        reduction = sixteenBitReduction(histogram, count);
        gReply.usedBits = static_cast<uint32_t>(sixteenBitUsedBits(largest));
        gReply.lowest16 = smallest;
        gReply.highest16 = largest;
        gReply.base16 = reduction.base;
        gReply.shift16 = static_cast<uint32_t>(reduction.shift);
        gReply.low16 = reduction.low;
        gReply.high16 = reduction.high;
    }
    gReply.outcome = static_cast<uint32_t>(DecodeOutcome::kPicture);
    gReply.width = width;
    gReply.height = height;
    gReply.pixels = pixels;
    gReply.byteCount = static_cast<uint64_t>(pixels);
    if (!writeAll(&gReply, sizeof gReply)) _exit(1);
    constexpr size_t kPiece = size_t{1} << 16;
    static unsigned char piece[kPiece];
    for (size_t start = 0; start < count; start += kPiece) {
        const size_t n = count - start < kPiece ? count - start : kPiece;
        const unsigned char* from = data + start * stride;
        if (bytesPerChannel == 1) {
            for (size_t i = 0; i < n; ++i) piece[i] = from[i * stride];
        } else {
            for (size_t i = 0; i < n; ++i) {
                uint16_t value = 0;
                std::memcpy(&value, from + i * stride, sizeof value);
                piece[i] = reduceSixteenBit(value, reduction);
            }
        }
        if (!writeAll(piece, n)) _exit(1);
    }
    _exit(0);
}
