#include "app/login.h"

#include <stdio.h>

// Until the command exists it answers as on a machine without a handset.
int loginCommand(int, char**) {
  printf("KV30 not found.");
  return 1;
}
