#include <GL/glut.h>

#include <cstdlib>

#include "view/hhcf_plot.h"
#include "view/image_view.h"
#include "view/line_length_plots.h"
#include "view/window.h"

namespace {

const ResultStore* gShownStore = nullptr;

constexpr unsigned char kEscape = 27;

}  // namespace

void initWindow(int* argc, char** argv) {
    glutInit(argc, argv);
    glutInitDisplayMode(GLUT_RGB | GLUT_DOUBLE | GLUT_DEPTH);
    glutInitWindowPosition(0, 0);
    glutInitWindowSize(550, 550);
    glutCreateWindow("Rugon 11");
    glClearColor(0.75f, 0.75f, 0.75f, 1.0f);
    glShadeModel(GL_SMOOTH);
    // Everything is drawn at depth 0: with GL_LEQUAL against a depth of 1, later drawing covers
    // earlier drawing, so the drawing order decides what lies on top.
    glClearDepth(1.0);
    glEnable(GL_DEPTH_TEST);
    glDepthFunc(GL_LEQUAL);
    glHint(GL_PERSPECTIVE_CORRECTION_HINT, GL_NICEST);
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    glOrtho(0.0, 512.0, 0.0, 512.0, -1.0, 1.0);
    glMatrixMode(GL_MODELVIEW);
    glEnable(GL_TEXTURE_2D);
}

void setShownStore(const ResultStore* store) { gShownStore = store; }

void runWindowLoop() {
    glutDisplayFunc(onDisplay);
    glutReshapeFunc(onReshape);
    glutKeyboardFunc(onKeyboard);
    glutMainLoop();
}

void onDisplay() {
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    glLoadIdentity();
    const ResultStore* store = gShownStore;
    if (store != nullptr && store->shownImageIndex >= 0 &&
        static_cast<size_t>(store->shownImageIndex) < store->displayRecords.size() &&
        store->displayRecords[static_cast<size_t>(store->shownImageIndex)] != nullptr) {
        const DisplayRecord& record =
            *store->displayRecords[static_cast<size_t>(store->shownImageIndex)];
        drawRoughnessPlot(record);
        drawUncertaintyPlot(record);
        drawImageView(record);
        drawHhcfPlot(record);
    }
    glutSwapBuffers();
    glutPostRedisplay();
}

void onReshape(int /*width*/, int /*height*/) {
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    gluOrtho2D(0.0, 512.0, 0.0, 512.0);
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
}

void onKeyboard(unsigned char key, int /*x*/, int /*y*/) {
    if (key == kEscape) std::exit(0);
}

void drawText(int x, int y, const char* text) {
    glPushMatrix();
    glLoadIdentity();
    // Setting the raster position also fixes the text colour to the current colour.
    if (x >= 0 && y >= 0) glRasterPos2i(x, y);
    for (const char* c = text; c != nullptr && *c != '\0'; ++c) {
        if (*c == '\n' && x >= 0 && y >= 0) {
            y -= 13;
            glRasterPos2i(x, y);
        } else {
            glutBitmapCharacter(GLUT_BITMAP_TIMES_ROMAN_10, static_cast<unsigned char>(*c));
        }
    }
    glPopMatrix();
}
