#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/cli/CliOptions.h"
#include "app/cli/Commands.h"
#include "files/MMMPEG.h"
#include "platform/Messages.h"

int main(int argc, char** argv) {
  using namespace strataeq;
  SetMainThread();
  // A file-size limit (ulimit -f) fails the write with EFBIG instead of killing us.
  std::signal(SIGXFSZ, SIG_IGN);
  // The loader's messages reach the user as the failing command's error.
  SetMpegMessageHandler([](const std::string&) {});
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 1 && (args[0] == "--version" || args[0] == "-V")) {
    std::printf("strataeq-cli %s\n", STRATAEQ_VERSION);
    return 0;
  }
  if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
    std::fputs(cli::UsageText(), stdout);
    return 0;
  }
  try {
    const cli::TCliOptions options = cli::ParseCommandLine(args);
    if (options.Help) {
      std::fputs(cli::CommandUsage(options.Command, options.SubCommand).c_str(), stdout);
      return 0;
    }
    return cli::RunCommand(options);
  } catch (const cli::EUsageError& e) {
    std::fprintf(stderr, "strataeq-cli: %s\n%s", e.what(), cli::UsageText());
    return 2;
  }
}
