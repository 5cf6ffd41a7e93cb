#include <GL/gl.h>

#include <vector>

#include "view/hhcf_plot.h"
#include "view/plot_layout.h"
#include "view/window.h"

void drawHhcfPlot(const DisplayRecord& record) {
    glViewport(256, 256, 256, 256);
    const HhcfAxes axes =
        hhcfAxes(record.logLag, record.logHhcf, record.fitLogLag, record.fitLogHhcf);

    glColor3f(0.0f, 0.0f, 0.0f);
    drawText(240, 2, "LOG(r) (pixels)");
    for (const PlotLabel& label : axes.xLabels) drawText(label.x, label.y, label.text.c_str());
    static const char* const kTitleCharacters[] = {"L", "O", "G", "(", "H", "H", "C", "F", ")"};
    static const int kTitleRows[] = {320, 290, 270, 250, 230, 210, 190, 170, 150};
    for (int i = 0; i < 9; ++i) drawText(15, kTitleRows[i], kTitleCharacters[i]);
    drawText(7, 130, "(p)");
    for (const PlotLabel& label : axes.yLabels) drawText(label.x, label.y, label.text.c_str());

    // White plot box: a colour clear limited to the box, then the grey clear colour back.
    glClearColor(1.0f, 1.0f, 1.0f, 1.0f);
    glEnable(GL_SCISSOR_TEST);
    glScissor(301, 276, 211, 231);
    glClear(GL_COLOR_BUFFER_BIT);
    glClearColor(0.75f, 0.75f, 0.75f, 1.0f);
    glDisable(GL_SCISSOR_TEST);

    drawText(240, 512, "Average HHCF");

    glBegin(GL_LINES);
    for (float tickX : axes.tickX) {
        glVertex3f(tickX, 40.0f, 0.0f);
        glVertex3f(tickX, 502.0f, 0.0f);
    }
    for (int j = 0; j <= 5; ++j) {
        glVertex3f(90.0f, hhcfTickY(j), 0.0f);
        glVertex3f(512.0f, hhcfTickY(j), 0.0f);
    }
    glEnd();
    glBegin(GL_LINES);
    glVertex3f(90.0f, 40.0f, 0.0f);
    glVertex3f(512.0f, 40.0f, 0.0f);
    glVertex3f(90.0f, 40.0f, 0.0f);
    glVertex3f(90.0f, 502.0f, 0.0f);
    glEnd();

    glColor3f(0.0f, 0.0f, 1.0f);
    glPointSize(4.0f);
    glBegin(GL_POINTS);
    for (const PlotVertex& p : hhcfPoints(axes, record.logLag, record.logHhcf)) {
        glVertex3f(p.x, p.y, 0.0f);
    }
    glEnd();

    glColor3f(1.0f, 0.0f, 0.0f);
    glPointSize(1.0f);
    // One strip through the fitted curve, broken only where a non-finite value was left out.
    bool open = false;
    for (const PlotVertex& p : hhcfPoints(axes, record.fitLogLag, record.fitLogHhcf)) {
        if (p.startsRun) {
            if (open) glEnd();
            glBegin(GL_LINE_STRIP);
            open = true;
        }
        glVertex3f(p.x, p.y, 0.0f);
    }
    if (open) glEnd();
}
