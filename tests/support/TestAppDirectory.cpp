// The test program's application directory. The data center is a process singleton
// whose writer thread opens Info.db in the application directory as soon as it exists,
// so the directory is set before main and removed only after the data center (built
// later, during a test) has been destroyed at exit.
#include "TestAppDirectory.h"

TempDir& TestAppDirectory() {
  static TempDir directory("VANTREL_APP_DIR");
  return directory;
}

namespace {
const TempDir& kMadeBeforeMain = TestAppDirectory();
}  // namespace
