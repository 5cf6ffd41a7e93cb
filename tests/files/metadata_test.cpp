#include "files/metadata.h"

#include <gtest/gtest.h>
#include <tiffio.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "files/metadata_forms.h"
#include "sem_samples.h"

namespace {

struct TagText {
    uint32_t tag;
    std::string text;  // written as ASCII with its terminating NUL
};

// A 64 x 48 8-bit grey TIFF carrying `tags`.
bool writeTiff(const std::string& path, const std::vector<TagText>& tags, int32_t height = 48) {
    TIFF* tiff = TIFFOpen(path.c_str(), "w");
    if (tiff == nullptr) return false;
    std::vector<TIFFFieldInfo> fields;
    for (const TagText& t : tags) {
        fields.push_back(TIFFFieldInfo{t.tag, TIFF_VARIABLE2, TIFF_VARIABLE2, TIFF_ASCII,
                                       FIELD_CUSTOM, 1, 1, const_cast<char*>("metadata")});
    }
    if (!fields.empty())
        TIFFMergeFieldInfo(tiff, fields.data(), static_cast<uint32_t>(fields.size()));
    const uint32_t width = 64;
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, static_cast<uint32_t>(height));
    TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
    TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, static_cast<uint32_t>(height));
    for (const TagText& t : tags) {
        const std::string bytes = t.text + '\0';
        TIFFSetField(tiff, t.tag, static_cast<uint32_t>(bytes.size()), bytes.c_str());
    }
    std::vector<unsigned char> row(width);
    bool ok = true;
    for (int32_t y = 0; y < height; ++y) {
        for (uint32_t x = 0; x < width; ++x) row[x] = static_cast<unsigned char>(x * 4);
        ok = ok && TIFFWriteScanline(tiff, row.data(), static_cast<uint32_t>(y), 0) == 1;
    }
    TIFFClose(tiff);
    return ok;
}

// Bytes of a JPEG file: start of image, the APP segments given (marker 0xE0 + n, payload), a
// baseline frame header for a 64 x `height` grey picture, the start of scan and end of image.
std::string jpegBytes(const std::vector<std::pair<int, std::string>>& apps, int height = 48) {
    std::string out = "\xFF\xD8";
    for (const auto& [n, payload] : apps) {
        const size_t length = payload.size() + 2;
        out += '\xFF';
        out += static_cast<char>(0xE0 + n);
        out += static_cast<char>(length >> 8);
        out += static_cast<char>(length & 0xFF);
        out += payload;
    }
    const char frame[] = {'\xFF',
                          '\xC0',
                          0,
                          11,
                          8,
                          static_cast<char>(height >> 8),
                          static_cast<char>(height & 0xFF),
                          0,
                          64,
                          1,
                          1,
                          0x11,
                          0};
    out.append(frame, sizeof frame);
    out += std::string("\xFF\xDA\x00\x08\x01\x01\x00\x00\x3F\x00", 10);
    out += "\xFF\xD9";
    return out;
}

std::string phenomLikeXml(const std::string& width, const std::string& unit, int bar) {
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?><FeiImage><databarHeight>" +
           std::to_string(bar) + "</databarHeight><pixelHeight unit=\"" + unit + "\">" + width +
           "</pixelHeight><pixelWidth unit=\"" + unit + "\">" + width +
           "</pixelWidth><time>2023-10-12T13:56:22</time></FeiImage>";
}

bool notesMention(const FileMetadata& metadata, const std::string& text) {
    for (const std::string& note : metadata.notes) {
        if (note.find(text) != std::string::npos) return true;
    }
    return false;
}

}  // namespace

TEST(MetadataForms, ConvertEveryUnitToNanometres) {
    struct Case {
        const char* text;
        const char* unit;
        double nm;
    };
    const Case cases[] = {{"1.17657e-7", "m", 117.657},   {"0.000117657", "mm", 117.657},
                          {"0.117657", "um", 117.657},    {"0.117657", "\xC2\xB5m", 117.657},
                          {"0.117657", "\xB5m", 117.657}, {"117.657", "nm", 117.657},
                          {"117657", "pm", 117.657},      {"2.5", "NM", 2.5}};
    for (const Case& c : cases) {
        std::vector<std::string> notes;
        const FormValues v = parseXmlText(phenomLikeXml(c.text, c.unit, 0), "test", notes);
        EXPECT_NEAR(v.pixelWidthNm, c.nm, 1e-9 * c.nm) << c.text << " " << c.unit;
        EXPECT_TRUE(notes.empty()) << c.unit;
    }
    std::vector<std::string> notes;
    EXPECT_TRUE(
        std::isnan(parseXmlText(phenomLikeXml("2", "furlong", 0), "test", notes).pixelWidthNm));
    ASSERT_FALSE(notes.empty());
    EXPECT_NE(notes[0].find("no known unit"), std::string::npos);
}

// Every form written into a real file of its kind, read back through readFileMetadata.
TEST(Metadata, ReadsEveryFormFromItsFile) {
    ScratchFolder folder;
    const std::string ini = folder.file("ini.tif");
    ASSERT_TRUE(writeTiff(ini, {{34682,
                                 "[User]\r\nDate=1\r\n[Scan]\r\nPixelWidth=2.5e-09\r\n"
                                 "PixelHeight=2.5e-09\r\n[Stage]\r\nPixelWidth=9\r\n"}}));
    FileMetadata m = readFileMetadata(ini);
    EXPECT_NEAR(m.pixelSizeNm, 2.5, 1e-12);
    EXPECT_EQ(m.source, PixelSizeSource::kTiffIni);
    EXPECT_EQ(m.fileHeight, 48);
    EXPECT_TRUE(m.notes.empty()) << m.notes[0];

    const std::string xml = folder.file("xml.tif");
    ASSERT_TRUE(writeTiff(xml, {{34683, phenomLikeXml("3.1", "nm", 6)}}));
    m = readFileMetadata(xml);
    EXPECT_NEAR(m.pixelSizeNm, 3.1, 1e-12);
    EXPECT_EQ(m.source, PixelSizeSource::kXml);
    EXPECT_EQ(m.databarRows, 6);

    const std::string text = folder.file("text.tif");
    // The screen pixel, given first, is another quantity.
    ASSERT_TRUE(writeTiff(text, {{34118,
                                  "\r\n0\r\nAP_PIXEL_SIZE\r\nPixel Size = 55.8 nm\r\n"
                                  "AP_IMAGE_PIXEL_SIZE\r\nImage Pixel Size = 0.004 um\r\n"}}));
    m = readFileMetadata(text);
    EXPECT_NEAR(m.pixelSizeNm, 4.0, 1e-12);
    EXPECT_EQ(m.source, PixelSizeSource::kTiffText);

    // A form that gives the size of its scan describes the picture only at that size (and a
    // bar below it): a picture scaled or cut since keeps none of its pixel size.
    const std::string scaled = folder.file("scaled.tif");
    ASSERT_TRUE(writeTiff(scaled, {{34682,
                                    "[Image]\nResolutionX=128\nResolutionY=80\n"
                                    "[Scan]\nPixelWidth=2.5e-09\n"}}));
    m = readFileMetadata(scaled);
    EXPECT_EQ(m.source, PixelSizeSource::kNone);
    EXPECT_TRUE(notesMention(m, "describes a scan of 128 x 80 pixels, this picture is 64 x 48"));
    // ... nor any other form of the file, which holds for the same scan.
    ASSERT_TRUE(writeTiff(scaled, {{34682,
                                    "[Image]\nResolutionX=128\nResolutionY=80\n"
                                    "[Scan]\nPixelWidth=2.5e-09\n"},
                                   {34683, phenomLikeXml("2.5", "nm", 6)}}));
    m = readFileMetadata(scaled);
    EXPECT_EQ(m.source, PixelSizeSource::kNone);
    EXPECT_EQ(m.databarRows, -1);
    const std::string barred = folder.file("barred.tif");  // 40 rows of scan, 8 of bar
    ASSERT_TRUE(writeTiff(barred, {{34682,
                                    "[Image]\nResolutionX=64\nResolutionY=40\n"
                                    "[Scan]\nPixelWidth=2.5e-09\n"}}));
    EXPECT_EQ(readFileMetadata(barred).source, PixelSizeSource::kTiffIni);
    const std::string zeiss = folder.file("zeiss.tif");
    ASSERT_TRUE(writeTiff(zeiss, {{34118,
                                   "AP_STORE_RESOLUTION\r\nStore resolution = 128 * 96\r\n"
                                   "AP_IMAGE_PIXEL_SIZE\r\nImage Pixel Size = 4 nm\r\n"}}));
    EXPECT_EQ(readFileMetadata(zeiss).source, PixelSizeSource::kNone);
    ASSERT_TRUE(writeTiff(zeiss, {{34118,
                                   "AP_STORE_RESOLUTION\r\nStore resolution = 64 * 48\r\n"
                                   "AP_IMAGE_PIXEL_SIZE\r\nImage Pixel Size = 4 nm\r\n"}}));
    EXPECT_EQ(readFileMetadata(zeiss).source, PixelSizeSource::kTiffText);

    const std::string jpeg = folder.file("xml.jpg");
    writeBytes(jpeg, jpegBytes({{0, std::string("JFIF\0\1\1\0\0\1\0\1\0\0", 14)},
                                {7, phenomLikeXml("0.117657", "um", 12)}},
                               60));
    m = readFileMetadata(jpeg);
    EXPECT_NEAR(m.pixelSizeNm, 117.657, 1e-9);
    EXPECT_EQ(m.source, PixelSizeSource::kXml);
    EXPECT_EQ(m.databarRows, 12);
    EXPECT_EQ(m.fileHeight, 60);
    EXPECT_TRUE(m.notes.empty());

    // A side-car next to a picture without metadata of its own: the marker gives the size, the
    // full size the bar.
    const std::string plain = folder.file("plain.tif");
    ASSERT_TRUE(writeTiff(plain, {}));
    writeBytes(folder.file("plain.txt"),
               "$CM_FORMAT JEOL/SEM\r\n$CM_FULL_SIZE 64 40\r\n$$SM_MICRON_BAR 35\r\n"
               "$$SM_MICRON_MARKER 100nm\r\n");
    m = readFileMetadata(plain);
    EXPECT_NEAR(m.pixelSizeNm, 100.0 / 35.0, 1e-12);
    EXPECT_EQ(m.source, PixelSizeSource::kSidecar);
    EXPECT_EQ(m.databarRows, 8);
    writeBytes(folder.file("plain.txt"),
               "PixelSize=3.25\n$$SM_MICRON_BAR 35\n"
               "$$SM_MICRON_MARKER 1um\n");
    EXPECT_NEAR(readFileMetadata(plain).pixelSizeNm, 3.25, 1e-12);
    // Saved by a Windows editor: a byte order mark before the first key.
    writeBytes(folder.file("plain.txt"), "\xEF\xBB\xBFPixelSize=2.5 nm\r\n");
    EXPECT_NEAR(readFileMetadata(plain).pixelSizeNm, 2.5, 1e-12);
}

// Absurd values in the first form are noted and the next form is taken; with no other form
// the pixel size is none, never 0.
TEST(Metadata, AbsurdValuesAreNotedAndFallBack) {
    ScratchFolder folder;
    const char* const kAbsurd[] = {"-3e-9", "0", "nan", "inf", "1000", "1e-15", "2.5e-9x", ""};
    for (const char* value : kAbsurd) {
        const std::string path = folder.file("bad.tif");
        const std::string ini = std::string("[Scan]\nPixelWidth=") + value + "\n";
        ASSERT_TRUE(writeTiff(
            path, {{34682, ini}, {34118, "AP_IMAGE_PIXEL_SIZE\nImage Pixel Size = 7 nm\n"}}));
        FileMetadata m = readFileMetadata(path);
        EXPECT_EQ(m.source, PixelSizeSource::kTiffText) << value;
        EXPECT_NEAR(m.pixelSizeNm, 7.0, 1e-12) << value;
        EXPECT_TRUE(notesMention(m, "PixelWidth=")) << value;

        ASSERT_TRUE(writeTiff(path, {{34682, ini}}));
        m = readFileMetadata(path);
        EXPECT_EQ(m.source, PixelSizeSource::kNone) << value;
        EXPECT_TRUE(std::isnan(m.pixelSizeNm)) << value;
    }
    // Disagreeing forms: the first is used, the difference noted.
    const std::string path = folder.file("two.tif");
    ASSERT_TRUE(writeTiff(path, {{34682, "[Scan]\nPixelWidth=2.5e-9\n"},
                                 {34118, "AP_IMAGE_PIXEL_SIZE\nImage Pixel Size = 7 nm\n"}}));
    const FileMetadata m = readFileMetadata(path);
    EXPECT_EQ(m.source, PixelSizeSource::kTiffIni);
    EXPECT_TRUE(notesMention(m, "tiff-text gives a pixel size of 7 nm"));
}

TEST(Metadata, DamagedStructuresAreNotedAndFallBack) {
    ScratchFolder folder;
    writeBytes(folder.file("broken.txt"), "PixelSize=4.5\n");

    // A TIFF entry whose count runs far past the end of the file.
    const std::string tiff = folder.file("broken.tif");
    ASSERT_TRUE(writeTiff(tiff, {{34682, "[Scan]\nPixelWidth=2.5e-9\n"}}));
    std::string bytes = readBytes(tiff);
    ASSERT_EQ(bytes.substr(0, 2), "II");
    uint32_t ifd = 0;
    std::memcpy(&ifd, bytes.data() + 4, 4);
    uint16_t entries = 0;
    std::memcpy(&entries, bytes.data() + ifd, 2);
    bool patched = false;
    for (uint16_t i = 0; i < entries; ++i) {
        const size_t entry = ifd + 2 + 12 * size_t{i};
        uint16_t tag = 0;
        std::memcpy(&tag, bytes.data() + entry, 2);
        if (tag != 34682) continue;
        const uint32_t count = 0x7FFFFF00;
        std::memcpy(&bytes[entry + 4], &count, 4);
        patched = true;
    }
    ASSERT_TRUE(patched);
    writeBytes(tiff, bytes);
    FileMetadata m = readFileMetadata(tiff);
    EXPECT_EQ(m.source, PixelSizeSource::kSidecar);
    EXPECT_NEAR(m.pixelSizeNm, 4.5, 1e-12);
    EXPECT_TRUE(notesMention(m, "34682"));

    // XML cut short, and a segment that claims more bytes than the file holds.
    const std::string jpeg = folder.file("broken.jpg");
    const std::string xml = phenomLikeXml("0.117657", "um", 12);
    writeBytes(jpeg, jpegBytes({{7, xml.substr(0, xml.size() / 2)}}));
    m = readFileMetadata(jpeg);
    EXPECT_EQ(m.source, PixelSizeSource::kSidecar);
    EXPECT_TRUE(notesMention(m, "does not parse"));
    EXPECT_EQ(m.fileHeight, 48);  // the walk went on past the damaged XML

    std::string cut = jpegBytes({{7, xml}});
    cut.resize(cut.size() - xml.size() / 2 - 30);
    writeBytes(jpeg, cut);
    m = readFileMetadata(jpeg);
    EXPECT_EQ(m.source, PixelSizeSource::kSidecar);
    EXPECT_TRUE(notesMention(m, "past the end of the file"));

    // A side-car describing a picture of another size is not used for this one.
    writeBytes(jpeg, jpegBytes({}));
    writeBytes(folder.file("broken.txt"),
               "$CM_FULL_SIZE 1280 960\n$$SM_MICRON_BAR 35\n"
               "$$SM_MICRON_MARKER 100nm\n");
    m = readFileMetadata(jpeg);
    EXPECT_EQ(m.source, PixelSizeSource::kNone);
    EXPECT_EQ(m.databarRows, -1);
    EXPECT_TRUE(notesMention(m, "describes a 1280 x 960 picture"));

    // A format whose size no header reader knows: the decoded size decides, and without it
    // nothing of the side-car is used.
    const std::string pgm = folder.file("plain.pgm");
    writeBytes(pgm, "P5\n1280 1024\n255\n");
    writeBytes(folder.file("plain.txt"),
               "$CM_FULL_SIZE 1280 960\n$$SM_MICRON_BAR 35\n$$SM_MICRON_MARKER 100nm\n");
    m = readFileMetadata(pgm);
    EXPECT_EQ(m.source, PixelSizeSource::kNone);
    EXPECT_TRUE(notesMention(m, "size is unknown; the side-car is ignored"));
    m = readFileMetadata(pgm, 256, 256);
    EXPECT_EQ(m.source, PixelSizeSource::kNone);
    EXPECT_TRUE(notesMention(m, "describes a 1280 x 960 picture, this one is 256 x 256"));
    m = readFileMetadata(pgm, 1280, 1024);
    EXPECT_EQ(m.source, PixelSizeSource::kSidecar);
    EXPECT_EQ(m.databarRows, 64);

    m = readFileMetadata(folder.file("missing.tif"));
    EXPECT_EQ(m.source, PixelSizeSource::kNone);
    EXPECT_FALSE(m.notes.empty());
}

// Files damaged at random (bytes changed, cut short) give plausible values or none, never a
// crash; run under the sanitizers this also shows that no read leaves its buffer.
TEST(Metadata, SurvivesRandomlyDamagedFiles) {
    ScratchFolder folder;
    const std::string tiffPath = folder.file("sample.tif");
    ASSERT_TRUE(writeTiff(tiffPath, {{34682, "[Scan]\nPixelWidth=2.5e-9\n"},
                                     {34683, phenomLikeXml("3", "nm", 4)},
                                     {34118, "AP_IMAGE_PIXEL_SIZE\nImage Pixel Size = 7 nm\n"}}));
    const std::string samples[] = {readBytes(tiffPath),
                                   jpegBytes({{7, phenomLikeXml("0.117657", "um", 12)}})};
    std::mt19937 random(13);
    const std::string path = folder.file("damaged.bin");
    int read = 0;
    for (const std::string& sample : samples) {
        for (int round = 0; round < 150; ++round) {
            std::string bytes = sample;
            const int changes = 1 + static_cast<int>(random() % 8);
            for (int i = 0; i < changes; ++i)
                bytes[random() % bytes.size()] = static_cast<char>(random() & 0xFF);
            if (round % 3 == 0) bytes.resize(random() % bytes.size());
            writeBytes(path, bytes);
            const FileMetadata m = readFileMetadata(path);
            if (m.source != PixelSizeSource::kNone) {
                ++read;
                EXPECT_GE(m.pixelSizeNm, kMinPixelSizeNm);
                EXPECT_LE(m.pixelSizeNm, kMaxPixelSizeNm);
            } else {
                EXPECT_TRUE(std::isnan(m.pixelSizeNm));
            }
        }
    }
    EXPECT_GT(read, 0);  // most damage leaves a form readable
}

TEST(Metadata, ReadsTheRealMicroscopeFiles) {
    if (!haveSemFolder()) GTEST_SKIP() << "no shared SEM folder";
    FileMetadata m = readFileMetadata(semFile("ptl_legacy_analysis_test.jpg"));
    EXPECT_EQ(m.source, PixelSizeSource::kXml);
    EXPECT_NEAR(m.pixelSizeNm, 117.657, 1e-9);
    EXPECT_EQ(m.databarRows, 120);
    EXPECT_TRUE(m.notes.empty());

    // A JEOL image with the side-car its microscope writes, next to a link to the image.
    ScratchFolder folder;
    const std::string image = folder.file("mpa_A6_001.bmp");
    std::filesystem::create_symlink(semFile("mpa_A6_001.bmp"), image);
    writeBytes(folder.file("mpa_A6_001.txt"),
               "$CM_FORMAT JEOL/SEM\n$CM_FULL_SIZE 1280 960\n$CM_MAG 33000\n"
               "$$SM_MICRON_BAR 35\n$$SM_MICRON_MARKER 100nm\n");
    m = readFileMetadata(image);
    EXPECT_EQ(m.source, PixelSizeSource::kSidecar);
    EXPECT_NEAR(m.pixelSizeNm, 2.857, 0.0005);
    EXPECT_EQ(m.databarRows, 64);

    m = readFileMetadata(semFile("mpa_A6_001.bmp"));
    EXPECT_EQ(m.source, PixelSizeSource::kNone);
    EXPECT_EQ(m.databarRows, -1);
    EXPECT_EQ(m.fileHeight, 1024);
}
