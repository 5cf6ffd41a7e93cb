// The program's console text and exit status for parameter files without analysable images.
#include <gtest/gtest.h>

#include "run_support.h"

namespace {

TEST(EntryPoint, MissingParameterFileIsReportedAndTheRunEnds) {
    const std::string folder = makeTempFolder();
    const RunResult r = runRugon(folder);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "(x) Error opening \"input.txt\" for reading.\n");
}

TEST(EntryPoint, DirectoryNamedInputTxtIsReportedAsUnreadable) {
    const std::string folder = makeTempFolder();
    runCommand(folder, "mkdir input.txt");
    const RunResult r = runRugon(folder);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "(x) Error opening \"input.txt\" for reading.\n");
}

TEST(EntryPoint, EveryEntryIsListedInOrderEvenWhenItsImageIsMissing) {
    const std::string folder = makeTempFolder();
    writeTextFile(folder + "/input.txt",
                  parameterFile({{"first.png", "l"}, {"second.bmp", "s"}, {"first.png", "L"}}));
    const RunResult r = runRugon(folder);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Image : first.png\n\nImage : second.bmp\n\nImage : first.png\n\n");
}

TEST(EntryPoint, EmptyParameterFileAndZeroImageCountPrintNothing) {
    const std::string folder = makeTempFolder();
    writeTextFile(folder + "/input.txt", "");
    RunResult r = runRugon(folder);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    RunSettings settings;
    settings.imageCount = "0";
    writeTextFile(folder + "/input.txt", parameterFile({{"a.png", "l"}}, settings));
    r = runRugon(folder);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
}

}  // namespace
