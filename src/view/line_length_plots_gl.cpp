#include <GL/gl.h>

#include <vector>

#include "view/line_length_plots.h"
#include "view/plot_layout.h"
#include "view/window.h"

namespace {

// Paints the plot box white: a colour clear limited by the scissor test to the box (window
// pixels), then the window's grey clear colour back and the scissor test off.
void paintPlotBox(int x, int y, int width, int height) {
    glClearColor(1.0f, 1.0f, 1.0f, 1.0f);
    glEnable(GL_SCISSOR_TEST);
    glScissor(x, y, width, height);
    glClear(GL_COLOR_BUFFER_BIT);
    glClearColor(0.75f, 0.75f, 0.75f, 1.0f);
    glDisable(GL_SCISSOR_TEST);
}

void drawLabels(const std::vector<PlotLabel>& labels) {
    for (const PlotLabel& label : labels) drawText(label.x, label.y, label.text.c_str());
}

// Black axes along the left and bottom edges of the box, then the grid at every tick.
void drawAxesAndGrid(const LengthAxis& x) {
    glBegin(GL_LINES);
    glVertex3f(90.0f, 60.0f, 0.0f);
    glVertex3f(512.0f, 60.0f, 0.0f);
    glVertex3f(90.0f, 60.0f, 0.0f);
    glVertex3f(90.0f, 482.0f, 0.0f);
    glEnd();
    glBegin(GL_LINES);
    for (float tickX : x.tickX) {
        glVertex3f(tickX, 60.0f, 0.0f);
        glVertex3f(tickX, 482.0f, 0.0f);
    }
    for (int j = 0; j <= 5; ++j) {
        glVertex3f(90.0f, lengthTickY(j), 0.0f);
        glVertex3f(512.0f, lengthTickY(j), 0.0f);
    }
    glEnd();
}

void drawPoints(const std::vector<PlotVertex>& points) {
    glBegin(GL_POINTS);
    for (const PlotVertex& p : points) glVertex3f(p.x, p.y, 0.0f);
    glEnd();
}

// One line strip through the vertices in order, broken where a non-finite point was left out.
void drawStrip(const std::vector<PlotVertex>& points) {
    bool open = false;
    for (const PlotVertex& p : points) {
        if (p.startsRun) {
            if (open) glEnd();
            glBegin(GL_LINE_STRIP);
            open = true;
        }
        glVertex3f(p.x, p.y, 0.0f);
    }
    if (open) glEnd();
}

}  // namespace

void drawRoughnessPlot(const DisplayRecord& record) {
    glViewport(0, 0, 256, 256);
    const LengthAxis x = lengthAxis(record.lengthNm);
    const ValueAxis y =
        roughnessAxis(record.lwr3Sigma, record.cdVariation3Sigma, record.lwr3SigmaInfinite);

    glColor3f(0.0f, 0.0f, 0.0f);
    drawText(180, 10, "Line Length L (nm)");
    drawLabels(x.labels);
    static const char* const kTitleCharacters[] = {"3", "s", "i", "g", "m", "a", "L", "W", "R"};
    static const int kTitleRows[] = {320, 290, 270, 250, 230, 210, 190, 170, 150};
    for (int i = 0; i < 9; ++i) drawText(15, kTitleRows[i], kTitleCharacters[i]);
    drawText(0, 130, "(nm)");
    drawLabels(y.labels);

    paintPlotBox(45, 30, 211, 211);

    drawText(140, 512, "Average ");
    glColor3f(0.0f, 1.0f, 0.0f);
    drawText(215, 512, "3 sigmaLWR ");
    glColor3f(0.0f, 0.0f, 0.0f);
    drawText(330, 512, "and ");
    glColor3f(1.0f, 0.0f, 0.0f);
    drawText(370, 512, "3CD variation");
    glColor3f(0.0f, 0.0f, 0.0f);

    drawAxesAndGrid(x);

    const std::vector<PlotVertex> lwr = lengthPlotPoints(x, y, record.lengthNm, record.lwr3Sigma);
    const std::vector<PlotVertex> cd =
        lengthPlotPoints(x, y, record.lengthNm, record.cdVariation3Sigma);
    std::vector<PlotVertex> level;
    if (record.lwr3SigmaInfinite.count > 0) {
        level = lengthPlotLevel(x, y, record.lengthNm, record.lwr3SigmaInfinite[0]);
    }
    // Per length: the LWR point, the CD-variation point and the infinite-length point, all
    // black at the same depth, so their order within the batch does not show.
    glPointSize(3.0f);
    drawPoints(lwr);
    drawPoints(cd);
    drawPoints(level);

    glColor3f(0.0f, 1.0f, 0.0f);
    drawStrip(lwr);
    glColor3f(0.0f, 0.0f, 1.0f);
    drawStrip(level);
    glColor3f(1.0f, 0.0f, 0.0f);
    drawStrip(cd);

    glColor3f(0.0f, 0.0f, 0.0f);
    PlotLabel infinite;
    if (infiniteLabel(y, record.lwr3SigmaInfinite, infinite)) {
        drawText(infinite.x, infinite.y, infinite.text.c_str());
    }
}

void drawUncertaintyPlot(const DisplayRecord& record) {
    glViewport(256, 0, 256, 256);
    const LengthAxis x = lengthAxis(record.lengthNm);
    const ValueAxis y = uncertaintyAxis(record.sigmaUncertaintyPct);

    glColor3f(0.0f, 0.0f, 0.0f);
    drawText(180, 10, "Line Length L (nm)");
    drawLabels(x.labels);
    drawLabels(y.labels);

    paintPlotBox(301, 30, 211, 211);

    drawText(180, 495, "% Uncertainty of sigmaLWR");
    drawText(10, 260, "%");

    drawAxesAndGrid(x);

    const std::vector<PlotVertex> points =
        lengthPlotPoints(x, y, record.lengthNm, record.sigmaUncertaintyPct);
    glPointSize(3.0f);
    drawPoints(points);
    drawStrip(points);
}
