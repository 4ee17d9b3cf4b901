// Base64 for byte strings: declared with the engine's other calls.
#pragma once

#include "engine/engine.h"
