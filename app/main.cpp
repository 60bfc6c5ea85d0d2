#include "app/main.h"

#include <stdio.h>
#include <string.h>

#include "app/command.h"
#include "app/config.h"
#include "app/interactive.h"
#include "app/login.h"
#include "app/trace.h"
#include "app/upload.h"

static const char buildTag[] = "08-60030";

void printUsage() {
  printf("velkor [/trace] command [command-options]\n");
  printf(" \n");
  printf(" /trace turns on tracing\n");
  printf(" \n");
  printf(" commands are config |upload|interactive|help \n");
  printf("              config /login user,pass (default:kv30,admin)\n");
  printf("                     /ssid <ssid> \n");
  printf("                     /wep-key <hex-wep-key> \n");
  printf("                     /wep-index [1-4] \n");
  printf("                     /cipher <none|wep|wep128|tkip|aes-wrap|aes-ccmp|ckip> \n");
  printf("                     /assoc <none|wpa|wpa2> \n");
  printf("                     /auth <none|eap-md5|leap|peap-mschapv2> \n");
  printf("                     /passphrase <passphrase> \n");
  printf("                     /user <user> \n");
  printf("                     /password <password> \n");
  printf("                     /regdomain world|usa|canada|etsi|spain|france\n");
  printf("                     /power-save active|poll|uapsd\n");
  printf("                     /power-mode active|short-doze|long-doze\n");
  printf("                     /power-mode-call active|short-doze|long-doze\n");
  printf("                     /prot h323|sip \n");
  printf("                     /gk-addr <gk-IP-addr> \n");
  printf("                     /e164 <registration number> \n");
  printf("                     /h323 <registration name> \n");
  printf("              upload <firmware-filename> \n");
  printf("              login \n");
  printf("              command <kv30 commands> \n");
  printf(" \n");
  printf(" examples:\n");
  printf(
      " 1. velkor.exe config /ssid myssid /wep-key 4be07d21a9c3f5e8617d0b2c94 /cipher wep128 "
      "/wep-index 1 /prot h323 /gk-addr 192.168.0.10 /e164 501\n");
  printf(" 2. velkor.exe upload kv30.bin\n");
  printf(" 3. velkor.exe interactive\n");
  printf(" 4. velkor.exe login; velkor.exe command config show \n");
}

// Walks the words from the left and runs the first command word found; the
// words after it belong to that command. A command word that needs a further
// word but is the last word is refused with status 1 before anything is sent.
int velkorMain(int argc, char** argv) {
  // Every print reaches standard output at once, also when that is a file or
  // a pipe, so that a run ended by a signal keeps all it printed and the
  // progress line moves as the chunks go. Unbuffered rather than line
  // buffered: some C run-times (msvcrt) buffer "line buffered" output fully.
  setvbuf(stdout, NULL, _IONBF, 0);
  printf("velkor 1.4 [%s]\n", buildTag);
  for (int i = 1; i < argc; i++) {
    const char* word = argv[i];
    if (strcmp(word, "upload") == 0) {
      if (i + 1 < argc) return uploadCommand(argv[i + 1]);
      printf("velkor: missing filename.\n");
      return 1;
    }
    if (strcmp(word, "config") == 0) {
      if (i + 1 < argc) return configCommand(argc - (i + 1), argv + i + 1);
      printf("velkor: missing filename.\n");
      return 1;
    }
    if (strcmp(word, "interactive") == 0) return interactiveCommand();
    if (strcmp(word, "login") == 0) return loginCommand(argc - i, argv + i);
    if (strcmp(word, "command") == 0) {
      if (i + 1 < argc) return commandCommand(argc - (i + 1), argv + i + 1);
      printf("velkor: missing further params for command.\n");
      return 1;
    }
    if (strcmp(word, "help") == 0) {
      printUsage();
      return 0;
    }
    if (strcmp(word, "/trace") == 0 || strcmp(word, "/login") == 0) {
      traceEnabled = true;
      continue;
    }
    printf("velkor: unrecognized command: %s\n", word);
    return 1;
  }
  return 0;
}
