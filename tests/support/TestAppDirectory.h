#pragma once

#include "TempAppDirectory.h"

// The temporary application directory of this test program, set before main runs.
TempAppDirectory& TestAppDirectory();
