#pragma once

// The io_uring counterpart of the benchmark's minimal epoll echo server: one thread,
// echo what arrives, keep what the socket has not taken yet. Serves `listener` (already
// listening) until `controlPipe` becomes readable. Exits the process with status 2 when
// the ring cannot be set up.
void RunUringReferenceServer(int listener, int controlPipe);
