// Threads take the name of the thread that starts them. The libraries the
// sender thread calls (x264's workers, the NDI runtime's I/O thread) start
// theirs while a name of their own is lent to the calling thread, so that a
// look at the process's threads (top -H, /proc/PID/task) tells them apart.
#pragma once

#include <pthread.h>

class LentThreadName {
  public:
    // name: at most 15 characters.
    explicit LentThreadName(const char* name) {
        kept_ = pthread_getname_np(pthread_self(), saved_, sizeof saved_) == 0;
        if (kept_) pthread_setname_np(pthread_self(), name);
    }
    ~LentThreadName() {
        if (kept_) pthread_setname_np(pthread_self(), saved_);
    }
    LentThreadName(const LentThreadName&) = delete;
    LentThreadName& operator=(const LentThreadName&) = delete;

  private:
    char saved_[16] = {};
    bool kept_ = false;
};
