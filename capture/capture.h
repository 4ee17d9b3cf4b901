// The door of the capture subsystem: what the rest of the program may call.
// Other folders include this header, never the files behind it.
//
//   frame clock        displayLinkCallback (the display link's tick),
//                      updateNDIOutput, FrameClockHooks and installFrameClockHooks
//   source capture     getTheBitmap, allocateCaptureBuffer, applySizeRule,
//                      CaptureSurroundings (what it needs of the program's windows)
//   cursor overlay     loadCursorPicture, appendMouseCursor, drawMouseCursor
//   crop window        cropWindow, theCropWindow, cropWindowMoving and the box mappings
//   application list   AppRecord, WindowRecord, theAppList, getApplicationWindowList
//   host services      getTimeInMilliseconds, getLocalHostName, synthetic mouse events
//   renderer check     testGLReadback
//
// The compositor and the built-in cursor picture stay inside.
#pragma once

#include "capture/app_list.h"
#include "capture/crop_window.h"
#include "capture/cursor_overlay.h"
#include "capture/frame_clock.h"
#include "capture/gl_readback.h"
#include "capture/host_events.h"
#include "capture/source_capture.h"
