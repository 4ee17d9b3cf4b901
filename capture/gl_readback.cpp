#include "capture/gl_readback.h"

#include <EGL/egl.h>
#include <EGL/eglext.h>
#include <GL/gl.h>
#include <GL/glext.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

constexpr GLsizei kWidth = 1920;
constexpr GLsizei kHeight = 1080;

// The EGL side of the test: display and context, current on this thread.
struct GLReadbackContext {
    EGLDisplay display = EGL_NO_DISPLAY;
    EGLContext context = EGL_NO_CONTEXT;
};

// The framebuffer-object extension's entry points; OpenGL 1.1 itself is
// linked directly.
struct FramebufferCalls {
    PFNGLGENFRAMEBUFFERSEXTPROC genFramebuffers;
    PFNGLBINDFRAMEBUFFEREXTPROC bindFramebuffer;
    PFNGLFRAMEBUFFERTEXTURE2DEXTPROC framebufferTexture2D;
    PFNGLFRAMEBUFFERRENDERBUFFEREXTPROC framebufferRenderbuffer;
    PFNGLCHECKFRAMEBUFFERSTATUSEXTPROC checkFramebufferStatus;
    PFNGLDELETEFRAMEBUFFERSEXTPROC deleteFramebuffers;
    PFNGLGENRENDERBUFFERSEXTPROC genRenderbuffers;
    PFNGLBINDRENDERBUFFEREXTPROC bindRenderbuffer;
    PFNGLRENDERBUFFERSTORAGEEXTPROC renderbufferStorage;
    PFNGLDELETERENDERBUFFERSEXTPROC deleteRenderbuffers;
};

// The objects the picture is drawn into.
struct ReadbackTargets {
    GLuint texture = 0;
    GLuint renderbuffer = 0;
    GLuint textureFramebuffer = 0;
    GLuint renderbufferFramebuffer = 0;
};

bool hasExtension(const char* list, const char* name) {
    const size_t length = std::strlen(name);
    for (const char* p = list; p != nullptr && (p = std::strstr(p, name)) != nullptr; p += length)
        if ((p == list || p[-1] == ' ') && (p[length] == ' ' || p[length] == '\0')) return true;
    return false;
}

void closeContext(GLReadbackContext* gl) {
    if (gl->display == EGL_NO_DISPLAY) return;
    eglMakeCurrent(gl->display, EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT);
    if (gl->context != EGL_NO_CONTEXT) eglDestroyContext(gl->display, gl->context);
    eglTerminate(gl->display);
    eglReleaseThread();
    *gl = GLReadbackContext{};
}

// A colour of 24 bits as the test always asked for; a compatibility profile
// because the test draws with OpenGL 1.1 and its framebuffer extension.
EGLContext createContext(EGLDisplay display) {
    const EGLint configAttributes[] = {EGL_RENDERABLE_TYPE,
                                       EGL_OPENGL_BIT,
                                       EGL_RED_SIZE,
                                       8,
                                       EGL_GREEN_SIZE,
                                       8,
                                       EGL_BLUE_SIZE,
                                       8,
                                       EGL_NONE};
    EGLConfig config = EGL_NO_CONFIG_KHR;
    EGLint count = 0;
    if (!eglChooseConfig(display, configAttributes, &config, 1, &count) || count < 1)
        config = EGL_NO_CONFIG_KHR;
    const EGLint contextAttributes[] = {EGL_CONTEXT_OPENGL_PROFILE_MASK,
                                        EGL_CONTEXT_OPENGL_COMPATIBILITY_PROFILE_BIT, EGL_NONE};
    return eglCreateContext(display, config, EGL_NO_CONTEXT, contextAttributes);
}

bool openContext(GLReadbackContext* gl) {
    if (!hasExtension(eglQueryString(EGL_NO_DISPLAY, EGL_EXTENSIONS),
                      "EGL_MESA_platform_surfaceless")) {
        std::printf("testGLReadback: EGL offers no surfaceless platform (Mesa is needed)\n");
        return false;
    }
    gl->display = eglGetPlatformDisplay(EGL_PLATFORM_SURFACELESS_MESA, nullptr, nullptr);
    if (gl->display == EGL_NO_DISPLAY || !eglInitialize(gl->display, nullptr, nullptr)) {
        std::printf("testGLReadback: cannot initialise EGL (error 0x%x)\n", eglGetError());
        gl->display = EGL_NO_DISPLAY;
        return false;
    }
    if (!eglBindAPI(EGL_OPENGL_API) ||
        (gl->context = createContext(gl->display)) == EGL_NO_CONTEXT ||
        !eglMakeCurrent(gl->display, EGL_NO_SURFACE, EGL_NO_SURFACE, gl->context)) {
        std::printf("testGLReadback: no OpenGL context (EGL error 0x%x)\n", eglGetError());
        closeContext(gl);
        return false;
    }
    return true;
}

template <typename Function>
void loadCall(Function* call, const char* name) {
    *call = reinterpret_cast<Function>(eglGetProcAddress(name));
}

bool loadFramebufferCalls(FramebufferCalls* fb) {
    const char* extensions = reinterpret_cast<const char*>(glGetString(GL_EXTENSIONS));
    if (!hasExtension(extensions, "GL_EXT_framebuffer_object") ||
        !hasExtension(extensions, "GL_ARB_texture_rectangle")) {
        std::printf(
            "testGLReadback: the renderer lacks framebuffer objects or rectangle textures\n");
        return false;
    }
    loadCall(&fb->genFramebuffers, "glGenFramebuffersEXT");
    loadCall(&fb->bindFramebuffer, "glBindFramebufferEXT");
    loadCall(&fb->framebufferTexture2D, "glFramebufferTexture2DEXT");
    loadCall(&fb->framebufferRenderbuffer, "glFramebufferRenderbufferEXT");
    loadCall(&fb->checkFramebufferStatus, "glCheckFramebufferStatusEXT");
    loadCall(&fb->deleteFramebuffers, "glDeleteFramebuffersEXT");
    loadCall(&fb->genRenderbuffers, "glGenRenderbuffersEXT");
    loadCall(&fb->bindRenderbuffer, "glBindRenderbufferEXT");
    loadCall(&fb->renderbufferStorage, "glRenderbufferStorageEXT");
    loadCall(&fb->deleteRenderbuffers, "glDeleteRenderbuffersEXT");
    return fb->genFramebuffers && fb->bindFramebuffer && fb->framebufferTexture2D &&
           fb->framebufferRenderbuffer && fb->checkFramebufferStatus && fb->deleteFramebuffers &&
           fb->genRenderbuffers && fb->bindRenderbuffer && fb->renderbufferStorage &&
           fb->deleteRenderbuffers;
}

void makeTexture(ReadbackTargets* targets) {
    glGenTextures(1, &targets->texture);
    glBindTexture(GL_TEXTURE_RECTANGLE_ARB, targets->texture);
    glTexImage2D(GL_TEXTURE_RECTANGLE_ARB, 0, GL_RGBA, kWidth, kHeight, 0, GL_RGBA,
                 GL_UNSIGNED_BYTE, nullptr);
}

void makeRenderbuffer(const FramebufferCalls& fb, ReadbackTargets* targets) {
    fb.genRenderbuffers(1, &targets->renderbuffer);
    fb.bindRenderbuffer(GL_RENDERBUFFER_EXT, targets->renderbuffer);
    fb.renderbufferStorage(GL_RENDERBUFFER_EXT, GL_RGBA8, kWidth, kHeight);
}

bool makeTextureFramebuffer(const FramebufferCalls& fb, ReadbackTargets* targets) {
    fb.genFramebuffers(1, &targets->textureFramebuffer);
    fb.bindFramebuffer(GL_FRAMEBUFFER_EXT, targets->textureFramebuffer);
    fb.framebufferTexture2D(GL_FRAMEBUFFER_EXT, GL_COLOR_ATTACHMENT0_EXT, GL_TEXTURE_RECTANGLE_ARB,
                            targets->texture, 0);
    if (fb.checkFramebufferStatus(GL_FRAMEBUFFER_EXT) == GL_FRAMEBUFFER_COMPLETE_EXT) return true;
    std::printf("glCheckFramebufferStatusEXT failed for tex\n");
    return false;
}

bool makeRenderbufferFramebuffer(const FramebufferCalls& fb, ReadbackTargets* targets) {
    fb.genFramebuffers(1, &targets->renderbufferFramebuffer);
    fb.bindFramebuffer(GL_FRAMEBUFFER_EXT, targets->renderbufferFramebuffer);
    fb.framebufferRenderbuffer(GL_FRAMEBUFFER_EXT, GL_COLOR_ATTACHMENT0_EXT, GL_RENDERBUFFER_EXT,
                               targets->renderbuffer);
    if (fb.checkFramebufferStatus(GL_FRAMEBUFFER_EXT) == GL_FRAMEBUFFER_COMPLETE_EXT) return true;
    std::printf("glCheckFramebufferStatusEXT failed for renderbuffer\n");
    return false;
}

void deleteTargets(const FramebufferCalls& fb, const ReadbackTargets& targets) {
    fb.bindFramebuffer(GL_FRAMEBUFFER_EXT, 0);
    fb.deleteFramebuffers(1, &targets.textureFramebuffer);
    fb.deleteFramebuffers(1, &targets.renderbufferFramebuffer);
    fb.deleteRenderbuffers(1, &targets.renderbuffer);
    glDeleteTextures(1, &targets.texture);
}

void setUpProjection() {
    glViewport(0, 0, kWidth, kHeight);
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    glOrtho(0.0, 1920.0, 0.0, 1080.0, -1.0, 1.0);
}

void clearToOpaqueRed(const FramebufferCalls& fb, GLuint framebuffer) {
    fb.bindFramebuffer(GL_FRAMEBUFFER_EXT, framebuffer);
    glClearColor(1.0f, 0.0f, 0.0f, 1.0f);
    glClear(GL_COLOR_BUFFER_BIT);
}

// One read into the start of buffer. The first 8 bytes are zeroed first, so a
// read the renderer refuses prints zeros rather than an earlier read's bytes.
// The buffer always holds one whole picture in the read's layout.
void readAndPrint(const char* label, bool fromTexture, GLenum format, GLenum type,
                  std::vector<uint8_t>& buffer) {
    std::memset(buffer.data(), 0, 8);
    if (fromTexture)
        glGetTexImage(GL_TEXTURE_RECTANGLE_ARB, 0, format, type, buffer.data());
    else
        glReadPixels(0, 0, kWidth, kHeight, format, type, buffer.data());
    std::printf("%s %x %x %x %x\n", label, buffer[0], buffer[1], buffer[2], buffer[3]);
}

void readTextureFramebuffer(std::vector<uint8_t>& ycbcr, std::vector<uint8_t>& bgra) {
    readAndPrint("glReadPixels GL_YCBCR_422_APPLE tex fbo", false, GL_YCBCR_422_APPLE,
                 GL_UNSIGNED_SHORT_8_8_REV_APPLE, ycbcr);
    readAndPrint("glGetTexImage GL_YCBCR_422_APPLE tex fbo", true, GL_YCBCR_422_APPLE,
                 GL_UNSIGNED_SHORT_8_8_REV_APPLE, ycbcr);
    readAndPrint("glReadPixels GL_BGRA tex fbo", false, GL_BGRA, GL_UNSIGNED_INT_8_8_8_8_REV, bgra);
    readAndPrint("glGetTexImage GL_BGRA tex fbo", true, GL_BGRA, GL_UNSIGNED_INT_8_8_8_8_REV, bgra);
}

void readRenderbufferFramebuffer(std::vector<uint8_t>& ycbcr, std::vector<uint8_t>& bgra) {
    readAndPrint("glReadPixels GL_YCBCR_422_APPLE renderbuffer fbo", false, GL_YCBCR_422_APPLE,
                 GL_UNSIGNED_SHORT_8_8_REV_APPLE, ycbcr);
    readAndPrint("glReadPixels GL_BGRA renderbuffer fbo", false, GL_BGRA,
                 GL_UNSIGNED_INT_8_8_8_8_REV, bgra);
}

// Everything after the context: 0, or 1 for an incomplete framebuffer.
int runReadbacks(const FramebufferCalls& fb) {
    std::vector<uint8_t> ycbcr(size_t{kWidth} * kHeight * 2, 0);
    std::vector<uint8_t> bgra(size_t{kWidth} * kHeight * 4, 0);
    ReadbackTargets targets;
    makeTexture(&targets);
    makeRenderbuffer(fb, &targets);
    int result = 1;
    if (makeTextureFramebuffer(fb, &targets) && makeRenderbufferFramebuffer(fb, &targets)) {
        setUpProjection();
        clearToOpaqueRed(fb, targets.textureFramebuffer);
        readTextureFramebuffer(ycbcr, bgra);
        clearToOpaqueRed(fb, targets.renderbufferFramebuffer);
        readRenderbufferFramebuffer(ycbcr, bgra);
        const GLenum error = glGetError();
        if (error != GL_NO_ERROR) std::printf("glGetError %d\n", static_cast<int>(error));
        result = 0;
    }
    deleteTargets(fb, targets);
    return result;
}

}  // namespace

int testGLReadback() {
    GLReadbackContext gl;
    if (!openContext(&gl)) return -1;
    FramebufferCalls fb{};
    const int result = loadFramebufferCalls(&fb) ? runReadbacks(fb) : -1;
    closeContext(&gl);
    std::fflush(stdout);
    return result;
}
