// Batches of strataeq-cli process: several inputs equalized into one folder, each file
// in a child process of its own.
//
// Children rather than chains side by side in this process: the chain's components hand
// their stops, synchronised calls and worker failures to the one process-wide main-thread
// queue, whose exception handler cannot tell which chain a failure came from, and a
// decoder that crashes on a damaged file would end the whole batch. A child has its own
// queue and handler, runs the single-file code unchanged, and fails alone.
#pragma once

#include <string>

#include "app/cli/CliOptions.h"

namespace strataeq::cli {

// The output path of input in folder: its file name, with the extension of to ("wav" or
// "mp3") when to is not empty.
std::string BatchOutputName(const std::string& input, const std::string& folder, const std::string& to);

// Every input into o.OutDir, o.Jobs at once (0: one per core), one progress line for the
// batch and a summary on stderr. 0 when every file was written whole, else 1, each
// failed file named with its reason.
int RunBatch(const TCliOptions& o);

}  // namespace strataeq::cli
