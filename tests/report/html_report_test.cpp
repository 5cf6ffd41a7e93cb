#include "report/html_report.h"

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <random>
#include <regex>
#include <set>

#include "report/batch_plots.h"
#include "report/plot_drawing.h"
#include "run/quality_flags.h"

namespace {

const char* kHostileName = "\"><script>alert(1)</script><img src=x onerror=alert(2)>.tif";

// A measured image with whole-pixel figures, in nm unless `inPixels`.
ImageResult measuredImage(int32_t position,
                          const std::string& name,
                          double cdNm,
                          double lwrSigmaNm,
                          bool inPixels = false) {
    ImageResult r;
    r.position = position;
    r.name = name;
    r.path = "/data/" + name;
    r.status = ImageStatus::kMeasured;
    r.setup.fileWidth = 512;
    r.setup.fileHeight = 512;
    r.setup.pixelSizeNm = inPixels ? NAN : 2.0;
    r.setup.pixelSizeSource = inPixels ? "none" : "option";
    r.setup.figuresInPixels = inPixels;
    ImageAnalysis& a = r.analysis;
    a.status = AnalysisStatus::kMeasured;
    a.coarse.count = 4;
    a.lineCount = 2;
    a.widths.cdAverage = cdNm;
    a.widths.meanLineSigma = lwrSigmaNm;
    a.fit.alpha = 0.7;
    a.fit.ksi = 10.0;
    MetrologyResult& m = r.metrology;
    m.cdNm = cdNm;
    m.cdCi95Nm = 0.3;
    m.lwr.sigma3BiasedNm = 3.0 * lwrSigmaNm;
    m.lwr.sigma3UnbiasedNm = 2.7 * lwrSigmaNm;
    m.lwr.ci95Nm = 0.2;
    m.ler.sigma3BiasedNm = 2.4 * lwrSigmaNm;
    m.ler.sigma3UnbiasedNm = 2.0 * lwrSigmaNm;
    m.ler.ci95Nm = 0.2;
    m.ler.fit.ok = true;
    m.ler.fit.status = "converged";
    m.ler.fit.xiCi95 = m.ler.fit.alphaCi95 = 0.1;
    r.pngFile = "image-" + std::to_string(position) + ".png";
    r.svgFile = "image-" + std::to_string(position) + ".svg";
    return r;
}

ImageResult failedImage(int32_t position,
                        const std::string& name,
                        ImageStatus status,
                        const std::string& reason) {
    ImageResult r;
    r.position = position;
    r.name = name;
    r.path = name;
    r.status = status;
    r.reason = reason;
    return r;
}

int count(const std::string& text, const std::string& piece) {
    int n = 0;
    for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++n;
    return n;
}

// The part of `page` from the element with id `id` to the end of that section.
std::string sectionOf(const std::string& page, const std::string& id) {
    const size_t start = page.find("<section id=\"" + id + "\"");
    if (start == std::string::npos) return std::string();
    return page.substr(start, page.find("</section>", start) - start);
}

std::vector<std::string> attributeValues(const std::string& page, const std::string& pattern) {
    std::vector<std::string> values;
    const std::regex re(pattern);
    for (auto it = std::sregex_iterator(page.begin(), page.end(), re); it != std::sregex_iterator();
         ++it)
        values.push_back((*it)[1].str());
    return values;
}

}  // namespace

TEST(HtmlReport, EscapingLeavesNoMarkupAndNoInvalidText) {
    EXPECT_EQ(htmlEscape("a<b>&\"'c"), "a&lt;b&gt;&amp;&quot;&#39;c");
    // A control character and bytes that are not UTF-8 (a Latin-1 name, a cut sequence)
    // become U+FFFD; valid multi-byte characters stay.
    EXPECT_EQ(htmlEscape("\x01x\xE9y\xCE"), "\xEF\xBF\xBDx\xEF\xBF\xBDy\xEF\xBF\xBD");
    EXPECT_EQ(htmlEscape("\xCE\xBE \xE2\x80\xA6\tz\n"), "\xCE\xBE \xE2\x80\xA6\tz\n");
    // An overlong encoding of '<' must not come through as a character.
    EXPECT_EQ(htmlEscape("\xC0\xBC"), "\xEF\xBF\xBD\xEF\xBF\xBD");

    EXPECT_EQ(relativeUrl("image-001-a.b_c~/x.svg"), "image-001-a.b_c~/x.svg");
    EXPECT_EQ(relativeUrl("javascript:alert(1)"), "javascript%3Aalert%281%29");
    EXPECT_EQ(relativeUrl("a b\"#?&.png"), "a%20b%22%23%3F%26.png");
}

TEST(HtmlReport, PageListsEveryImageAndTheFailedOnesWithTheirReason) {
    std::vector<ImageResult> results;
    results.push_back(measuredImage(1, "site1.tif", 30.0, 1.0));
    results.push_back(failedImage(2, "gone.tif", ImageStatus::kMissing, "no such file"));
    results.push_back(measuredImage(3, "site3.tif", 31.0, 1.2));
    results.back().flags = {"edge_rows_missing", "pixel_size_missing"};
    MetrologyResult& placementless = results.back().metrology;
    placementless.lpr.sigma3BiasedNm = placementless.lpr.sigma3UnbiasedNm = NAN;
    placementless.lpr.ci95Nm = NAN;
    placementless.lpr.reason = placementless.lpr.ciReason = "no placement series";
    results.push_back(
        failedImage(4, "broken.tif", ImageStatus::kUnreadable, "not a picture DevIL can read"));
    const std::string page = formatHtmlReport(RunDescription(), results);

    const std::string summary = sectionOf(page, "summary");
    ASSERT_FALSE(summary.empty());
    EXPECT_EQ(count(summary, "<tr data-n="), 4);
    for (const ImageResult& r : results) {
        const std::string anchor = "image-" + std::to_string(r.position);
        EXPECT_NE(summary.find("href=\"#" + anchor + "\">" + r.name + "</a>"), std::string::npos)
            << r.name;
        EXPECT_EQ(count(page, "id=\"" + anchor + "\""), 1) << r.name;
    }
    // The flagged image's row is marked and shows each flag with its rule, and the rules of the
    // raised flags are listed once under the table; the failed rows are marked.
    EXPECT_NE(summary.find("<tr data-n=\"2\" class=\"flagged\">"), std::string::npos);
    // A figure with its interval, both to the interval's second significant digit.
    EXPECT_NE(summary.find(">30.00 <span class=\"ci\">\u00b1 0.30</span>"), std::string::npos)
        << summary;
    for (const std::string flag : {"edge_rows_missing", "pixel_size_missing"}) {
        const std::string rule = flagRule(flag);
        ASSERT_FALSE(rule.empty()) << flag;
        EXPECT_EQ(count(summary, "<span class=\"flag\" title=\"" + htmlEscape(rule) + "\">" + flag +
                                     "</span>"),
                  2)
            << flag;
        EXPECT_EQ(count(summary, "image: " + htmlEscape(rule) + ".</li>"), 1) << flag;
    }
    EXPECT_TRUE(flagRule("no_such_flag").empty());
    EXPECT_NE(summary.find("<tr data-n=\"1\" class=\"failed\">"), std::string::npos);
    EXPECT_NE(summary.find("<tr data-n=\"3\" class=\"failed\">"), std::string::npos);
    EXPECT_EQ(summary.find("<tr data-n=\"0\" class="), std::string::npos);

    const std::string failed = sectionOf(page, "failed");
    EXPECT_EQ(count(failed, "<li>"), 2);
    EXPECT_NE(failed.find("gone.tif"), std::string::npos);
    EXPECT_NE(failed.find("no such file"), std::string::npos);
    EXPECT_NE(failed.find("broken.tif"), std::string::npos);
    EXPECT_NE(failed.find("not a picture DevIL can read"), std::string::npos);
    EXPECT_EQ(failed.find("site1.tif"), std::string::npos);

    // An image's empty figures are listed with their reason, gathered by it.
    const size_t third = page.find("id=\"image-3\"");
    const std::string section = page.substr(third, page.find("</section>", third) - third);
    EXPECT_NE(
        section.find("<b>Figures not measured</b>\n<ul>\n<li><code>lpr_3sigma_biased_nm</code>, "
                     "<code>lpr_3sigma_unbiased_nm</code>, "
                     "<code>lpr_3sigma_unbiased_ci95_nm</code>: no placement series</li>\n"
                     "</ul>"),
        std::string::npos)
        << section;
    EXPECT_EQ(count(page, "Figures not measured"), 1);

    // Without a pixel size every length, density and frequency is marked in pixels.
    std::vector<ImageResult> pixels;
    pixels.push_back(measuredImage(1, "px.tif", 14.0, 0.5, true));
    pixels.push_back(measuredImage(2, "px2.tif", 15.0, 0.6, true));
    pixels[0].metrology.ler.fit.psd0 = 80.0;
    pixels[0].metrology.ler.fit.noiseFloor = 0.08;
    const std::string pixelPage = formatHtmlReport(RunDescription(), pixels);
    EXPECT_NE(pixelPage.find("<dt>cd_subpixel_nm</dt><dd>14 <span class=\"unit\">px</span>"),
              std::string::npos);
    EXPECT_NE(
        pixelPage.find("<dt>noise_floor_nm3</dt><dd>0.08 <span class=\"unit\">px\u00b3</span>"),
        std::string::npos);
    EXPECT_NE(pixelPage.find("<dt>psd0_nm3</dt><dd>80 <span class=\"unit\">px\u00b3</span>"),
              std::string::npos);
    // ... and the batch compares them in px, as no image has a size.
    const std::string batch = sectionOf(pixelPage, "batch");
    EXPECT_NE(batch.find("the lengths are in px"), std::string::npos) << batch;
    EXPECT_NE(batch.find("<th>Mean<span class=\"unit\">px</span>"), std::string::npos);
    EXPECT_NE(batch.find("<td class=\"num\">14.5</td>"), std::string::npos) << batch;

    // A fitted figure at a bound of its fit, and an unbiased one the floor took to 0, are
    // marked as no measurement; the others are not.
    std::vector<ImageResult> bounded;
    bounded.push_back(measuredImage(1, "b.tif", 30.0, 1.0));
    bounded[0].metrology.ler.fit.status = "converged; alpha at its upper bound";
    bounded[0].metrology.ler.fit.xi = 20.0;
    bounded[0].metrology.ler.fit.alpha = 1.5;
    bounded[0].metrology.lwr.sigma3UnbiasedNm = 0.0;
    bounded[0].flags = {"databar_found"};  // only informs: the row is not marked
    const std::string boundedPage =
        sectionOf(formatHtmlReport(RunDescription(), bounded), "summary");
    EXPECT_EQ(count(boundedPage, "class=\"flagged\""), 0);
    EXPECT_EQ(count(boundedPage, ">fit at upper bound</span>"), 1) << boundedPage;
    EXPECT_EQ(count(boundedPage, ">fit at lower bound</span>"), 0);
    EXPECT_EQ(count(boundedPage, ">all noise floor</span>"), 1);
    EXPECT_EQ(count(summary, "class=\"bound\""), 0);

    // The sorting script and its hooks.
    EXPECT_NE(page.find("<table id=\"summary-table\" class=\"sortable\">"), std::string::npos);
    EXPECT_NE(page.find("querySelectorAll('table.sortable')"), std::string::npos);
    EXPECT_NE(summary.find("<th data-type=\"num\" title=\"cd_average_nm\">"), std::string::npos);
    EXPECT_NE(summary.find("<th data-type=\"text\" title=\"image\">"), std::string::npos);
}

TEST(HtmlReport, HostileNamesAndMetadataShowAsText) {
    std::vector<ImageResult> results;
    results.push_back(measuredImage(1, kHostileName, 30.0, 1.0));
    results.back().setup.format = "<b>8-bit</b>";
    results.back().setup.notes = {"pixel size \"<i>12</i>\" rejected"};
    results.back().group = "<u>lot</u>";
    results.back().flags = {"<blink>"};
    // Picture names are the program's own, but must not become a script URL either.
    results.back().svgFile = "javascript:alert(3)";
    results.push_back(failedImage(2, "\xFF<a href=evil>", ImageStatus::kMissing,
                                  "reason <script>alert(4)</script>"));
    std::vector<GroupRow> groups(1);
    groups[0].name = "</table><script>alert(5)</script>";
    groups[0].images = 1;
    groups[0].cdMeanNm = 30.0;
    RunDescription run;
    run.parameterFile = "<run>.txt";
    const std::string page = formatHtmlReport(run, results, &groups);

    // Only the page's own elements: one script, one picture link pair for the measured image.
    EXPECT_EQ(count(page, "<script"), 1);
    EXPECT_EQ(count(page, "<img"), 1);
    EXPECT_EQ(count(page, "<a href=evil"), 0);
    for (const char* tag : {"<b>", "<i>", "<u>", "<blink>", "<run>", "</table>"}) {
        const std::string inert = htmlEscape(tag);
        EXPECT_NE(page.find(inert), std::string::npos) << tag;
    }
    EXPECT_EQ(count(page, "<b>8-bit"), 0);
    EXPECT_EQ(count(page, "</table><script>"), 0);
    EXPECT_NE(page.find("&lt;script&gt;alert(1)&lt;/script&gt;&lt;img src=x"), std::string::npos);
    EXPECT_EQ(page.find("javascript:"), std::string::npos);
    EXPECT_NE(page.find("src=\"javascript%3Aalert%283%29\""), std::string::npos);
    // The byte that is not UTF-8 is replaced, so that the page stays valid UTF-8.
    EXPECT_EQ(page.find('\xFF'), std::string::npos);
}

TEST(HtmlReport, PageLoadsNothingFromElsewhereAndItsPlotsKeepTheirIdsApart) {
    std::vector<ImageResult> results;
    results.push_back(measuredImage(1, "a.tif", 30.0, 1.0));
    results.push_back(measuredImage(2, "b.tif", 34.0, 1.4));
    results.push_back(measuredImage(3, "c.tif", 29.0, 0.8));
    results.push_back(measuredImage(4, "d.tif", 45.0, 3.0, true));  // lengths in px
    results[2].psdSvgFile = "image-3-psd.svg";
    results[2].psdPngFile = "image-3-psd.png";
    std::vector<GroupRow> groups(2);
    groups[0] = {"dose 10", 2, 8, 31.0, 0.4, 1.2, 3.1, 0.2, 2.2, 0.1, "nm", 2, 8, 300, {}, {}};
    groups[1] = {"dose 12", 1, 4, 29.0, 0.5, 1.0, 2.4, 0.3, 1.7, 0.2, "nm", 1, 4, 300, {}, {}};
    const std::string page = formatHtmlReport(RunDescription(), results, &groups);

    // Every reference is within the page or a picture file of the run, by relative name.
    const std::set<std::string> pictures = {
        "image-1.svg", "image-1.png", "image-2.svg", "image-2.png",     "image-3.svg",
        "image-3.png", "image-4.svg", "image-4.png", "image-3-psd.svg", "image-3-psd.png"};
    std::set<std::string> ids;
    for (const std::string& id : attributeValues(page, "\\sid=\"([^\"]*)\"")) {
        EXPECT_TRUE(ids.insert(id).second) << "duplicate id " << id;
    }
    int internal = 0;
    for (const std::string& url : attributeValues(page, "(?:src|href)=\"([^\"]*)\"")) {
        EXPECT_EQ(url.find("http"), std::string::npos) << url;
        EXPECT_EQ(url.find("//"), std::string::npos) << url;
        if (url[0] == '#') {
            EXPECT_EQ(ids.count(url.substr(1)), 1u) << "dangling " << url;
            ++internal;
        } else if (url != "data:,") {
            EXPECT_EQ(pictures.count(url), 1u) << url;
        }
    }
    for (const std::string& url : attributeValues(page, "url\\(([^)]*)\\)")) {
        ASSERT_FALSE(url.empty());
        EXPECT_EQ(url[0], '#') << url;
        EXPECT_EQ(ids.count(url.substr(1)), 1u) << "dangling " << url;
    }
    EXPECT_EQ(page.find("@import"), std::string::npos);
    EXPECT_GT(internal, 20);  // the glyphs of the plots and the links to the images

    // The batch plots of CD, LWR and LER and the group comparison, inline; the image in px is
    // left out of the batch figures.
    EXPECT_EQ(count(page, "<svg class=\"plot\""), 4);
    const std::string batch = sectionOf(page, "batch");
    EXPECT_NE(batch.find("1 image has no pixel size"), std::string::npos);
    EXPECT_NE(batch.find("<td class=\"num\">31</td>"), std::string::npos);  // mean CD of a, b, c
    const std::string groupsPart = sectionOf(page, "groups");
    EXPECT_EQ(count(groupsPart, "<tr data-n="), 2);
    EXPECT_NE(groupsPart.find("dose 12"), std::string::npos);
}

TEST(BatchPlots, SampleSummaryMatchesTheStudentInterval) {
    const SampleSummary s = summarizeSample({3.0, NAN, 1.0, 5.0, INFINITY, 2.0, 4.0});
    EXPECT_EQ(s.count, 5);
    EXPECT_DOUBLE_EQ(s.mean, 3.0);
    EXPECT_DOUBLE_EQ(s.sd, std::sqrt(2.5));
    // t(0.975, 4) = 2.7764451051977987 from the tables of the t distribution.
    EXPECT_NEAR(s.ci95, 2.7764451051977987 * std::sqrt(2.5) / std::sqrt(5.0), 1e-12);
    EXPECT_DOUBLE_EQ(s.minimum, 1.0);
    EXPECT_DOUBLE_EQ(s.q1, 2.0);
    EXPECT_DOUBLE_EQ(s.median, 3.0);
    EXPECT_DOUBLE_EQ(s.q3, 4.0);
    EXPECT_DOUBLE_EQ(s.maximum, 5.0);

    const SampleSummary one = summarizeSample({7.0});
    EXPECT_EQ(one.count, 1);
    EXPECT_DOUBLE_EQ(one.median, 7.0);
    EXPECT_TRUE(std::isnan(one.sd));
    EXPECT_TRUE(std::isnan(one.ci95));
    EXPECT_EQ(summarizeSample({NAN}).count, 0);
    EXPECT_TRUE(distributionSvg("CD (nm)", {{NAN, false}}).empty());
    EXPECT_NE(distributionSvg("CD (nm)", {{7.0, true}}).find("<svg"), std::string::npos);
}

TEST(PlotDrawing, TicksAreRoundAndCoverTheRange) {
    const AxisTicks known = linearTicks(0.3, 9.7, 8);
    EXPECT_EQ(known.values, (std::vector<double>{0.0, 2.0, 4.0, 6.0, 8.0, 10.0}));
    EXPECT_EQ(known.decimals, 0);
    EXPECT_EQ(tickLabel(-0.0001, 2), "0.00");
    // Values whose spread is below their precision, and a span beyond the largest double,
    // still give an axis of two distinct ends.
    for (const auto& range : {std::make_pair(1e20, 1e20 + 4096.0), std::make_pair(-1e308, 1e308),
                              std::make_pair(-0.1, 0.1)}) {
        const AxisTicks t = linearTicks(range.first, range.second, 1);
        ASSERT_GE(t.values.size(), 2u);
        EXPECT_LT(t.low, t.high);
        EXPECT_TRUE(std::isfinite(t.low) && std::isfinite(t.high));
    }

    std::mt19937 random(7);
    std::uniform_real_distribution<double> exponent(-4.0, 5.0);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (int trial = 0; trial < 500; ++trial) {
        const double scale = std::pow(10.0, exponent(random));
        const double low = (unit(random) - 0.5) * scale;
        const double high = low + unit(random) * scale;
        const int32_t maxTicks = 2 + trial % 8;
        const AxisTicks t = linearTicks(low, high, maxTicks);
        ASSERT_GE(t.values.size(), 2u);
        EXPECT_LE(t.values.size(), static_cast<size_t>(maxTicks) + 1);
        EXPECT_LE(t.low, low);
        EXPECT_GE(t.high, high);
        const double mantissa = t.step / std::pow(10.0, std::floor(std::log10(t.step) + 1e-9));
        EXPECT_TRUE(std::fabs(mantissa - 1.0) < 1e-6 || std::fabs(mantissa - 2.0) < 1e-6 ||
                    std::fabs(mantissa - 5.0) < 1e-6)
            << t.step;
        // Neighbouring labels differ, so that the axis can be read.
        for (size_t i = 1; i < t.values.size(); ++i)
            EXPECT_NE(tickLabel(t.values[i - 1], t.decimals), tickLabel(t.values[i], t.decimals));
    }
}
