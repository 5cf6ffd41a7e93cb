// The result window: one 550 x 550 GLUT window with four fixed views of the shown image's
// results, the event callbacks that drive it and the text routine every view uses.
#pragma once

#include "run/result_store.h"

// Initialises GLUT with the program's arguments (which are otherwise ignored), then creates the
// window: RGB, double-buffered, with depth; at screen (0, 0), 550 x 550 pixels, titled
// "Rugon 11"; grey clear colour 0.75, smooth shading, depth test GL_LEQUAL against a depth
// cleared to 1, an orthographic projection over the logical square 0..512 x 0..512 and 2-D
// texturing on. The new GL context is current on return. Called once, before any texture is
// made.
void initWindow(int* argc, char** argv);

// Hands over the store whose DisplayRecord at the shown-image index the display callback draws.
// The store is only read and must outlive the event loop. With no store, or no record at that
// index, a frame shows only the grey background.
void setShownStore(const ResultStore* store);

// Registers onDisplay, onReshape and onKeyboard and enters the GLUT main loop, which never
// returns: the process ends from onKeyboard (Escape) with status 0.
void runWindowLoop();

// Display callback: clears colour and depth, draws the roughness plot, the uncertainty plot,
// the image view and the HHCF plot of the shown record in that order, swaps buffers and asks
// for the next frame, so the window is redrawn continuously.
void onDisplay();

// Reshape callback: resets the projection to the logical square 0..512 x 0..512 (near -1,
// far 1). Width and height (pixels) are ignored: the views keep their fixed pixel positions from
// the lower-left corner of the window.
void onReshape(int width, int height);

// Keyboard callback: Escape (27) ends the process at once with exit status 0; every other key
// does nothing. The mouse position is ignored.
void onKeyboard(unsigned char key, int x, int y);

// Draws `text` at logical (x, y) of the current viewport in the current colour, with the
// 10-point Times Roman bitmap font, glyphs unscaled. When x >= 0 and y >= 0 the raster position
// is set to (x, y) and each newline starts a new line 13 units lower at the same x (while
// y >= 0); otherwise the text continues from the current raster position and a newline goes to
// the font like any other character. The modelview matrix is left as it was.
void drawText(int x, int y, const char* text);
