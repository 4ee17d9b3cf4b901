#include "app/persistence.h"

void loadPrefs(int) {}
void loadPrefs() {}
void savePrefs() {}
std::string prefsStorePath() { return {}; }
