// Crafted image files (tests/files/decode_crafted.cpp: hostile sizes, damaged structures, short
// palettes, pictures cut short) run through both programs: rugon must end with status 0 and
// rugon-report with 1, neither killed by a signal, each crafted file passed over with its
// reason, the image after them still measured, and no process of the run above 1 GiB.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <string>
#include <vector>

#include "decode_crafted.h"
#include "run_support.h"
#include "synthetic/synthetic_sem.h"

namespace {

// A folder holding every crafted file and, last in its parameter file, an image of two lines.
struct CraftedRun {
    std::string folder;
    std::vector<CraftedFile> refused;  // files that must not load, with their reasons
    std::vector<CraftedFile> cut;      // files that may load
};

CraftedRun craftedRun() {
    CraftedRun run;
    run.folder = makeTempFolder();
    run.refused = craftedFiles();
    run.cut = shortPictures();
    std::vector<Entry> entries;
    for (const std::vector<CraftedFile>* files : {&run.refused, &run.cut}) {
        for (const CraftedFile& f : *files) {
            writeTextFile(run.folder + "/" + f.name, std::string(f.bytes.begin(), f.bytes.end()));
            entries.push_back({f.name, "s"});
        }
    }
    SyntheticSemSettings s;
    s.width = 160;
    s.height = 320;
    s.pitch = 64.0;
    s.cd = 30.0;
    s.firstEdge = 30.0;
    s.lineCount = 2;
    s.seed = 11;
    SyntheticSem image;
    EXPECT_TRUE(makeSyntheticSem(s, image));
    EXPECT_TRUE(writePgm(image, run.folder + "/lines.pgm"));
    entries.push_back({"lines.pgm", "s"});
    writeTextFile(run.folder + "/input.txt", parameterFile(entries));
    return run;
}

// The largest resident memory of any process this test process has waited for, its
// descendants included, KiB.
long largestChildKib() {
    struct rusage usage;
    getrusage(RUSAGE_CHILDREN, &usage);
    return usage.ru_maxrss;
}

TEST(CraftedImageFile, RugonPassesOverEveryCraftedFileAndMeasuresTheImageAfterThem) {
    const CraftedRun run = craftedRun();
    const RunResult result = runRugon(run.folder);
    EXPECT_EQ(result.status, 0) << result.err;
    std::string expected;
    for (const CraftedFile& f : run.refused) expected += "Image : " + f.name + "\n\n";
    EXPECT_EQ(result.out.substr(0, expected.size()), expected);
    for (const CraftedFile& f : run.cut)
        EXPECT_NE(result.out.find("Image : " + f.name + "\n"), std::string::npos) << f.name;
    const size_t last = result.out.rfind("Image : lines.pgm\n");
    ASSERT_NE(last, std::string::npos);
    EXPECT_NE(result.out.find("Results: CD_average=", last), std::string::npos);
    EXPECT_LT(largestChildKib(), 1L << 20);
}

TEST(CraftedImageFile, RugonReportNamesTheReasonOfEveryCraftedFile) {
    const CraftedRun run = craftedRun();
    const RunResult result =
        runCommand(run.folder, std::string("'") + RUGON_REPORT_BINARY + "' input.txt -o out");
    EXPECT_EQ(result.status, 1) << result.err;
    for (const CraftedFile& f : run.refused) {
        const std::string line = "rugon-report: " + f.name + ": ";
        const size_t at = result.err.find(line);
        ASSERT_NE(at, std::string::npos) << f.name << "\n" << result.err;
        std::string reason =
            result.err.substr(at + line.size(), result.err.find('\n', at) - at - line.size());
        // The batch tool may put its own words before the decoder's reason.
        const std::string unreadable = "cannot be read as an image: ";
        if (reason.rfind(unreadable, 0) == 0) reason.erase(0, unreadable.size());
        EXPECT_EQ(reason.rfind(f.reason, 0), 0u) << f.name << ": " << reason;
    }
    EXPECT_EQ(result.err.find("rugon-report: lines.pgm:"), std::string::npos) << result.err;
    EXPECT_NE(readTextFile(run.folder + "/out/summary.csv").find("lines.pgm"), std::string::npos);
    EXPECT_LT(largestChildKib(), 1L << 20);
}

}  // namespace
