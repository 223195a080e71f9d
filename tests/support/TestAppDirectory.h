#pragma once

#include "TempDir.h"

// The temporary application directory (VANTREL_APP_DIR) of this test program, set before
// main runs in every program that links the test support.
TempDir& TestAppDirectory();
