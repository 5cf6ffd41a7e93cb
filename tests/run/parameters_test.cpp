#include "run/parameters.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace {

// Writes `content` to a fresh temporary file and reads it as a parameter file.
struct ParsedFile {
    RunParameters params;
    bool opened = false;
    std::string out;
};

ParsedFile parse(const std::string& content) {
    char path[] = "/tmp/rugon_params_XXXXXX";
    const int fd = mkstemp(path);
    EXPECT_GE(fd, 0);
    FILE* f = fdopen(fd, "wb");
    std::fwrite(content.data(), 1, content.size(), f);
    std::fclose(f);
    ParsedFile result;
    testing::internal::CaptureStdout();
    result.opened = readParameterFile(path, result.params);
    result.out = testing::internal::GetCapturedStdout();
    unlink(path);
    return result;
}

// The usual layout: every value last on its line, no blank lines.
std::string standardFile(const std::string& entries, const std::string& count = "2") {
    return "Rugon parameters\nedge detection\n"
           "threshold 0.5\n"
           "kernel\nsettings\n"
           "switch y\nrows 3\ncolumns 9\nsigma 1.3\n"
           "images\nlist\n"
           "switch2 q\ncount " +
           count +
           "\n"
           "scale\nsettings\n"
           "pixel 0.1\nreserved 42\nwindow 12\n" +
           entries;
}

TEST(ReadParameterFile, ReadsTheStandardLayout) {
    const ParsedFile r = parse(standardFile("a.bmp l\nb.png s\n"));
    ASSERT_TRUE(r.opened);
    EXPECT_EQ(r.out, "");
    const RunParameters& p = r.params;
    EXPECT_EQ(p.edgeThreshold, 0.5);
    EXPECT_EQ(p.reservedSwitch1, 'y');
    EXPECT_EQ(p.kernelRows, 3);
    EXPECT_EQ(p.kernelColumns, 9);
    EXPECT_EQ(p.kernelSigma, 1.2999999523162842);
    EXPECT_EQ(p.reservedSwitch2, 'q');
    EXPECT_EQ(p.pixelSize, 0.10000000149011612);
    EXPECT_EQ(p.reservedValue, 42);
    EXPECT_EQ(p.edgeHalfWindow, 12);
    EXPECT_EQ(p.detectionFloor, 0.3);
    ASSERT_EQ(p.images.size(), 2u);
    EXPECT_EQ(p.images[0]->name, "a.bmp");
    EXPECT_EQ(p.images[0]->pairing, 0);
    EXPECT_EQ(p.images[1]->name, "b.png");
    EXPECT_EQ(p.images[1]->pairing, 1);
}

TEST(ReadParameterFile, BlankLinesAndCarriageReturnsAreNotHeaderLines) {
    std::string crlf;
    for (char c : standardFile("a.bmp l\n")) {
        if (c == '\n') crlf += '\r';
        crlf += c;
    }
    crlf = "\n\r\n\n" + crlf;
    const ParsedFile r = parse(crlf);
    EXPECT_EQ(r.params.edgeThreshold, 0.5);
    EXPECT_EQ(r.params.edgeHalfWindow, 12);
    ASSERT_EQ(r.params.images.size(), 1u);
    EXPECT_EQ(r.params.images[0]->name, "a.bmp");
}

TEST(ReadParameterFile, LongHeaderLineCountsAsTwoHeaderLines) {
    // 300 characters are two pieces of at most 255, so one such line is the whole header.
    const std::string tail = "threshold 0.25\nk\nk\nswitch y\nrows 3\ncolumns 9\nsigma 2\n";
    const ParsedFile alone = parse(std::string(300, 'h') + "\n" + tail);
    EXPECT_EQ(alone.params.edgeThreshold, 0.25);
    EXPECT_EQ(alone.params.kernelRows, 3);
    // With a second header line after it, that line is read as the threshold's label and
    // value; "header" does not convert, so reading stops with the initial values.
    const ParsedFile shifted = parse(std::string(300, 'h') + "\nsecond header\n" + tail);
    EXPECT_EQ(shifted.params.edgeThreshold, 1.0);
    EXPECT_EQ(shifted.params.kernelRows, 5);
}

TEST(ReadParameterFile, UnitAfterValueIsTheNextHeaderLine) {
    std::string content = standardFile("a.bmp L\n");
    // "threshold 0.5 (fraction)" followed by only one further header line.
    const std::string from = "threshold 0.5\nkernel\nsettings\n";
    content.replace(content.find(from), from.size(), "threshold 0.5 (fraction)\nsettings\n");
    const ParsedFile r = parse(content);
    EXPECT_EQ(r.params.edgeThreshold, 0.5);
    EXPECT_EQ(r.params.kernelRows, 3);
    ASSERT_EQ(r.params.images.size(), 1u);
    EXPECT_EQ(r.params.images[0]->pairing, 1);
}

TEST(ReadParameterFile, FlagFirstLetterDecidesThePairing) {
    const ParsedFile r = parse(standardFile("a l b L c line d x e lower\n", "5"));
    ASSERT_EQ(r.params.images.size(), 5u);
    EXPECT_EQ(r.params.images[0]->pairing, 0);
    EXPECT_EQ(r.params.images[1]->pairing, 1);
    EXPECT_EQ(r.params.images[2]->pairing, 0);
    EXPECT_EQ(r.params.images[3]->pairing, 1);
    EXPECT_EQ(r.params.images[4]->pairing, 0);
}

TEST(ReadParameterFile, ImageCountLimitsTheEntries) {
    EXPECT_EQ(parse(standardFile("a l\nb l\n", "0")).params.images.size(), 0u);
    EXPECT_EQ(parse(standardFile("a l\nb l\n", "-3")).params.images.size(), 0u);
    EXPECT_EQ(parse(standardFile("a l\nb l\n", "1")).params.images.size(), 1u);
    // A count far beyond the entries keeps the complete entries and reserves nothing.
    const ParsedFile huge = parse(standardFile("a l\nb l\nc", "2000000000"));
    ASSERT_EQ(huge.params.images.size(), 2u);
    EXPECT_EQ(huge.params.images[1]->name, "b");
}

TEST(ReadParameterFile, ValueThatDoesNotConvertStopsReading) {
    std::string content = standardFile("a l\n");
    content.replace(content.find("rows 3"), 6, "rows x3");
    const ParsedFile r = parse(content);
    EXPECT_TRUE(r.opened);
    EXPECT_EQ(r.params.reservedSwitch1, 'y');
    EXPECT_EQ(r.params.kernelRows, 5);
    EXPECT_EQ(r.params.kernelSigma, 1.0);
    EXPECT_EQ(r.params.pixelSize, 0.0);
    EXPECT_EQ(r.params.images.size(), 0u);
    EXPECT_EQ(r.params.detectionFloor, 0.3);
}

TEST(ReadParameterFile, OutOfRangeAndNonFiniteValuesDoNotConvert) {
    std::string content = standardFile("a l\n");
    content.replace(content.find("rows 3"), 6, "rows 99999999999");
    EXPECT_EQ(parse(content).params.kernelRows, 5);
    content = standardFile("a l\n");
    content.replace(content.find("pixel 0.1"), 9, "pixel nan");
    const ParsedFile r = parse(content);
    EXPECT_EQ(r.params.pixelSize, 0.0);
    EXPECT_EQ(r.params.kernelRows, 3);
}

TEST(ReadParameterFile, EmptyAndBinaryFilesKeepInitialValues) {
    const ParsedFile empty = parse("");
    EXPECT_TRUE(empty.opened);
    EXPECT_EQ(empty.params.kernelColumns, 7);
    EXPECT_EQ(empty.params.images.size(), 0u);
    const ParsedFile binary = parse(std::string("\0\x01\xff\n\0\0 \x7f", 9));
    EXPECT_TRUE(binary.opened);
    EXPECT_EQ(binary.params.edgeThreshold, 1.0);
}

TEST(ReadParameterFile, LongTokensAreReadInPieces) {
    // A 300-character name: its first 255 characters are the name, the next 31 the flag
    // token, and the last 14 the name of a second entry whose flag is "l".
    const std::string name(300, 'n');
    const ParsedFile r = parse(standardFile(name + " l\n", "2"));
    ASSERT_EQ(r.params.images.size(), 2u);
    EXPECT_EQ(r.params.images[0]->name, std::string(255, 'n'));
    EXPECT_EQ(r.params.images[0]->pairing, 1);
    EXPECT_EQ(r.params.images[1]->name, std::string(14, 'n'));
    EXPECT_EQ(r.params.images[1]->pairing, 0);
    EXPECT_EQ(parse(standardFile(std::string(255, 'm') + " l\n", "1")).params.images[0]->name,
              std::string(255, 'm'));
    // A switch token keeps its first character.
    std::string content = standardFile("a l\n");
    content.replace(content.find("switch y"), 8, "switch yes");
    EXPECT_EQ(parse(content).params.reservedSwitch1, 'y');
}

TEST(ReadParameterFile, MissingFileOrDirectoryPrintsTheMessage) {
    RunParameters p;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(readParameterFile("/nonexistent/input.txt", p));
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "(x) Error opening \"/nonexistent/input.txt\" for reading.\n");
    EXPECT_EQ(p.detectionFloor, 0.0);
    testing::internal::CaptureStdout();
    EXPECT_FALSE(readParameterFile("/tmp", p));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "(x) Error opening \"/tmp\" for reading.\n");
}

}  // namespace
