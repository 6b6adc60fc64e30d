#pragma once
// How a batch waits (`valdrix-bench batch-waits`): a 20-trace batch alone and
// behind another client's 0.5 s SPI transfer, and the server's CPU while a batch
// waits for triggers that never come.
namespace bench {

// Exit status 0 when every run completed, 1 when one failed, 2 for bad arguments.
int run_batch_waits(int argc, char** argv);

}  // namespace bench
