// The NDI output engine's one door: everything other subsystems may call.
#pragma once

#include "engine/audio_send.h"
#include "engine/base64.h"
#include "engine/encoder.h"
#include "engine/hx_send.h"
#include "engine/mailbox.h"
#include "engine/sender.h"
#include "engine/timing.h"
#include "engine/video_send.h"
