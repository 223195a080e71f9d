#pragma once

namespace Sockora::Win32 {

// Names the calling thread for `top -H`, `ps -L` and debuggers, so an operator can tell
// which stage of the forwarding road is busy. Linux keeps 15 characters; longer names
// are cut. Any thread, for itself.
void NameThisThread(const char* name);

}  // namespace Sockora::Win32
