// A velkor process with a simulated handset in it, for driving the program
// through a pseudo-terminal or redirected standard streams:
//
//   shell_interactive_host [--record FILE] [--logged-in] [--echo]
//                          [--delay MS] [--reply LINE TRANSFER...] -- words...
//
// --reply answers the shell command LINE with the transfers that follow, up
// to the next option ("\n" and "\r" in them are line feeds and carriage
// returns). The "--" is the program's argument 0, the words after it are its
// words. After the program returns, the bytes of every host write to the
// shell are stored in FILE, one write per line, each as its byte values.
#include <stdio.h>
#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include "app/main.h"
#include "sim/device.h"
#include "sim/shell.h"
#include "sim/register.h"
#include "tests/support/shell_record.h"

static std::string unescape(const char* text) {
  std::string out;
  for (const char* p = text; *p; p++) {
    if (p[0] == '\\' && p[1] == 'n') {
      out += '\n';
      p++;
    } else if (p[0] == '\\' && p[1] == 'r') {
      out += '\r';
      p++;
    } else {
      out += *p;
    }
  }
  return out;
}

int main(int argc, char** argv) {
  auto device = std::make_shared<sim::Device>();
  auto shell = std::make_shared<sim::Shell>();
  const char* record = nullptr;
  int i = 1;
  while (i < argc && strcmp(argv[i], "--") != 0) {
    if (strcmp(argv[i], "--record") == 0 && i + 1 < argc) {
      record = argv[i + 1];
      i += 2;
    } else if (strcmp(argv[i], "--logged-in") == 0) {
      shell->SetLoggedIn(true);
      i++;
    } else if (strcmp(argv[i], "--echo") == 0) {
      shell->SetEcho(true);
      i++;
    } else if (strcmp(argv[i], "--delay") == 0 && i + 1 < argc) {
      shell->SetAnswerDelay(static_cast<uint32_t>(atoi(argv[i + 1])));
      i += 2;
    } else if (strcmp(argv[i], "--reply") == 0 && i + 1 < argc) {
      std::string line = argv[i + 1];
      std::vector<std::string> transfers;
      i += 2;
      while (i < argc && strncmp(argv[i], "--", 2) != 0) transfers.push_back(unescape(argv[i++]));
      shell->SetReply(line, transfers);
    } else {
      fprintf(stderr, "shell_interactive_host: bad argument %s\n", argv[i]);
      return 100;
    }
  }
  if (i >= argc) {
    fprintf(stderr, "shell_interactive_host: no -- before the program words\n");
    return 100;
  }
  device->SetFunction(3, shell);
  sim::RegisterHandset(device);

  int status = velkorMain(argc - i, argv + i);
  fflush(stdout);

  if (record != nullptr && !WriteShellRecord(record, shell->Writes())) return 101;
  sim::UnregisterAllHandsets();
  return status;
}
