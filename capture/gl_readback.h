// A stand-alone diagnostic of the machine's OpenGL renderer. Nothing in the
// capture path uses OpenGL; this exists for a person checking a renderer.
#pragma once

// Clears a 1920 x 1080 picture to opaque red in a texture-backed and in a
// renderbuffer-backed framebuffer, reads it back as packed 4:2:2 YCbCr and as
// BGRA, and prints the first four bytes of every read on standard output (a
// read the renderer refuses shows zeros; the pending OpenGL error, if any, is
// printed last). Runs on an offscreen EGL context (Mesa's surfaceless
// platform). Returns 0 when it ran to its end, 1 when a framebuffer was
// incomplete, -1 when no OpenGL context could be had; each failure prints one
// line saying why.
int testGLReadback();
