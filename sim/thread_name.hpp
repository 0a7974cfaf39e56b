// thread_name.hpp - names the calling thread, so that top -H, perf and gdb
// tell the world's threads apart (the kernel keeps 15 characters).
#pragma once

#include <pthread.h>

namespace world {

inline void NameThisThread(const char *name)
{
    pthread_setname_np(pthread_self(), name);
}

}  // namespace world
