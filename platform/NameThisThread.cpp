#include "platform/NameThisThread.h"

#include <pthread.h>

#include <cstring>

namespace Sockora::Win32 {

void NameThisThread(const char* name) {
  char shortName[16] = {};
  std::strncpy(shortName, name, sizeof shortName - 1);
  // A failure only leaves the process's name on the thread: nothing to report.
  (void)pthread_setname_np(pthread_self(), shortName);
}

}  // namespace Sockora::Win32
