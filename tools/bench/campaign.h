#pragma once
// Capture campaigns (`valdrix-bench campaign`): traces per second of a batched
// campaign (capture_batch) and of one request sequence per trace, on loopback
// and through the link emulator, each next to its limit: the instrument's (the
// capture's fill plus the bus exchange) and the link's (its rate over the bytes a
// trace carries). Also the server's resident memory while it answers a batch of
// 128 MiB.

namespace bench {

// Exit status 0 when every run completed, 1 when one failed, 2 for bad arguments.
int run_campaign(int argc, char** argv);

}  // namespace bench
