// The level meter's value and the program's web addresses.
#pragma once

// The value the level meter shows, divided by 100; main thread only.
extern float meterLevel;
