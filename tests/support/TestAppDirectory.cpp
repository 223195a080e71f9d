// The test program's application directory. The data center is a process singleton
// whose writer thread opens Info.db in the application directory as soon as it exists,
// so the directory is set before main and removed only after the data center (built
// later, during a test) has been destroyed at exit.
#include "TestAppDirectory.h"

TempAppDirectory& TestAppDirectory() {
  static TempAppDirectory directory;
  return directory;
}

namespace {
const TempAppDirectory& kMadeBeforeMain = TestAppDirectory();
}  // namespace
